#include "FailureMemo.h"

#include "LinkTable.h"

#include <net/if.h>
#include <netinet/in.h>
#include <pcap/pcap.h>

std::string DeviceSignature(const pcap_if* pDevice, const LinkRecord* pLink) {
    std::string strSignature = std::to_string(pDevice->flags);
    if (pLink != nullptr) {
        // The carrier changes count every flip, also one that is over by the next listing.
        for (const unsigned nValue :
             {static_cast<unsigned>(pLink->nIndex),
              pLink->nFlags & ~unsigned{IFF_PROMISC | IFF_ALLMULTI},
              static_cast<unsigned>(pLink->nMasterIndex), pLink->nCarrierChanges}) {
            strSignature.append("/").append(std::to_string(nValue));
        }
    }
    for (const pcap_addr_t* pEntry = pDevice->addresses; pEntry != nullptr; pEntry = pEntry->next) {
        const sockaddr* pAddress = pEntry->addr;
        if (pAddress != nullptr && pAddress->sa_family == AF_INET) {
            strSignature.append(reinterpret_cast<const char*>(
                                    &reinterpret_cast<const sockaddr_in*>(pAddress)->sin_addr),
                                4);
        } else if (pAddress != nullptr && pAddress->sa_family == AF_INET6) {
            strSignature.append(reinterpret_cast<const char*>(
                                    &reinterpret_cast<const sockaddr_in6*>(pAddress)->sin6_addr),
                                16);
        }
    }
    return strSignature;
}

const std::string* CFailureMemo::FindUnchanged(const std::string& strDevice,
                                               const std::string& strSignature) {
    const auto it = m_failures.find(strDevice);
    if (it == m_failures.end()) {
        return nullptr;
    }
    if (it->second.strSignature != strSignature) {
        m_failures.erase(it);
        return nullptr;
    }
    return &it->second.strError;
}

void CFailureMemo::Record(const std::string& strDevice, std::string strSignature,
                          std::string strError) {
    m_failures[strDevice] = {std::move(strSignature), std::move(strError)};
}
