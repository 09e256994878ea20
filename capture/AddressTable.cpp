#include "AddressTable.h"

#include <algorithm>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

void CAddressTable::Add(const sockaddr* pAddress) {
    if (pAddress == nullptr) {
        return;
    }
    if (pAddress->sa_family == AF_INET) {
        const auto* pIn = reinterpret_cast<const sockaddr_in*>(pAddress);
        m_ipv4.push_back(pIn->sin_addr.s_addr);
    } else if (pAddress->sa_family == AF_INET6) {
        const auto* pIn6 = reinterpret_cast<const sockaddr_in6*>(pAddress);
        m_ipv6.push_back(MakeKey6(reinterpret_cast<const uint8_t*>(&pIn6->sin6_addr)));
    }
}

void CAddressTable::AddBroadcast(const sockaddr* pAddress) {
    if (pAddress != nullptr && pAddress->sa_family == AF_INET) {
        m_broadcast4.push_back(reinterpret_cast<const sockaddr_in*>(pAddress)->sin_addr.s_addr);
    }
}

void CAddressTable::Seal() {
    std::sort(m_ipv4.begin(), m_ipv4.end());
    m_ipv4.erase(std::unique(m_ipv4.begin(), m_ipv4.end()), m_ipv4.end());
    std::sort(m_broadcast4.begin(), m_broadcast4.end());
    m_broadcast4.erase(std::unique(m_broadcast4.begin(), m_broadcast4.end()), m_broadcast4.end());
    std::sort(m_ipv6.begin(), m_ipv6.end());
    m_ipv6.erase(std::unique(m_ipv6.begin(), m_ipv6.end()), m_ipv6.end());
    m_bScanIPv4 = m_ipv4.size() <= kScanLimit && m_broadcast4.size() <= kScanLimit;
    m_bScanIPv6 = m_ipv6.size() <= kScanLimit;
}

bool CAddressTable::ContainsIPv4(uint32_t nAddress) const {
    return std::binary_search(m_ipv4.begin(), m_ipv4.end(), nAddress);
}

bool CAddressTable::ContainsIPv6(const uint8_t* pbAddress) const {
    return std::binary_search(m_ipv6.begin(), m_ipv6.end(), MakeKey6(pbAddress));
}

bool CAddressTable::ContainsBroadcastIPv4(uint32_t nAddress) const {
    return std::binary_search(m_broadcast4.begin(), m_broadcast4.end(), nAddress);
}

CAddressMap::CAddressMap() {
    m_tables.push_back(std::make_unique<const CAddressTable>());
    m_pCurrent.store(m_tables.back().get(), std::memory_order_release);
}

void CAddressMap::Publish(CAddressTable table) {
    table.Seal();
    for (const auto& pTable : m_tables) {
        if (*pTable == table) {
            m_pCurrent.store(pTable.get(), std::memory_order_release);
            return;
        }
    }
    m_tables.push_back(std::make_unique<const CAddressTable>(std::move(table)));
    m_pCurrent.store(m_tables.back().get(), std::memory_order_release);
}

void CAddressMap::Trim() {
    const CAddressTable* pCurrent = m_pCurrent.load(std::memory_order_relaxed);
    std::erase_if(m_tables, [pCurrent](const auto& pTable) { return pTable.get() != pCurrent; });
}
