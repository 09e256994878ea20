#pragma once

#include <cstddef>
#include <memory>
#include <vector>

struct pcap_if;

// One snapshot of the host's capture devices, in libpcap's list order. Entries, and everything
// reached through them, are valid only while the snapshot lives.
class CDeviceList {
public:
    // Throws CZarnException with pcap_findalldevs's result and libpcap's text when it fails.
    CDeviceList();
    CDeviceList(const CDeviceList&) = delete;
    CDeviceList& operator=(const CDeviceList&) = delete;
    ~CDeviceList();

    size_t GetCount() const { return m_devices.size(); }
    const pcap_if* GetAt(size_t nIndex) const { return m_devices[nIndex]; }

private:
    std::vector<pcap_if*> m_devices;
    pcap_if* m_pAllDevs = nullptr;
};
