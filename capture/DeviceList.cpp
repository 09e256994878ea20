#include "DeviceList.h"

#include "ZarnException.h"

#include <pcap/pcap.h>

CDeviceList::CDeviceList() {
    char szError[PCAP_ERRBUF_SIZE] = "";
    const int nResult = pcap_findalldevs(&m_pAllDevs, szError);
    if (nResult != 0) {
        m_pAllDevs = nullptr;
        throw CZarnException(nResult, szError);
    }
    try {
        for (pcap_if_t* pDevice = m_pAllDevs; pDevice != nullptr; pDevice = pDevice->next) {
            m_devices.push_back(pDevice);
        }
    } catch (...) {
        pcap_freealldevs(m_pAllDevs);
        throw;
    }
}

CDeviceList::~CDeviceList() {
    if (m_pAllDevs != nullptr) {
        pcap_freealldevs(m_pAllDevs);
    }
}
