#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

struct sockaddr;

// The host's own addresses at one moment: IPv4 keys as the four address bytes in memory order
// (network order), IPv6 addresses as their 16 bytes. Immutable once published.
class CAddressTable {
public:
    using Address6 = std::array<uint8_t, 16>;

    // Adds an IPv4 or IPv6 socket address; any other family, or null, adds nothing.
    void Add(const sockaddr* pAddress);
    void AddIPv4(uint32_t nAddress) { m_ipv4.push_back(nAddress); }
    void AddIPv6(const Address6& address) { m_ipv6.push_back(address); }
    // Sorts and removes duplicates; call once before publishing.
    void Seal();

    bool ContainsIPv4(uint32_t nAddress) const;
    bool ContainsIPv6(const uint8_t* pbAddress) const;
    size_t GetCount() const { return m_ipv4.size() + m_ipv6.size(); }
    bool operator==(const CAddressTable& other) const = default;

private:
    std::vector<uint32_t> m_ipv4;
    std::vector<Address6> m_ipv6;
};

// Publishes address tables to capture threads without a lock: a reader loads the current table
// with one acquire load. Replaced tables are kept (equal ones reused) until Trim, which the owner
// calls only when no capture thread can still be reading.
class CAddressMap {
public:
    CAddressMap();
    CAddressMap(const CAddressMap&) = delete;
    CAddressMap& operator=(const CAddressMap&) = delete;

    bool ContainsIPv4(uint32_t nAddress) const {
        return m_pCurrent.load(std::memory_order_acquire)->ContainsIPv4(nAddress);
    }
    bool ContainsIPv6(const uint8_t* pbAddress) const {
        return m_pCurrent.load(std::memory_order_acquire)->ContainsIPv6(pbAddress);
    }

    // Writer side, one writer at a time.
    void Publish(CAddressTable table);
    void Trim();
    size_t GetTableCount() const { return m_tables.size(); }

private:
    std::vector<std::unique_ptr<const CAddressTable>> m_tables;
    std::atomic<const CAddressTable*> m_pCurrent;
};
