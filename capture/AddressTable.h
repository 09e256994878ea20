#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

struct sockaddr;

// Answers whether an address is one of the host's own. Called by capture threads for every
// packet, several at once: must not lock, allocate or wait.
struct IAddressLookup {
    // nAddress: the four address bytes in packet (network) order.
    virtual bool IsLocalAddress(uint32_t nAddress) const = 0;
    // pbAddress: the 16 address bytes.
    virtual bool IsLocalAddress6(const uint8_t* pbAddress) const = 0;
    // Whether an IPv4 address is the broadcast address of one of the host's subnets.
    virtual bool IsBroadcastAddress(uint32_t nAddress) const = 0;

protected:
    ~IAddressLookup() = default;
};

// The host's own addresses at one moment: IPv4 keys as the four address bytes in memory order
// (network order), IPv6 addresses as their 16 bytes. Immutable once published.
class CAddressTable final : public IAddressLookup {
public:
    using Address6 = std::array<uint8_t, 16>;

    // Adds an IPv4 or IPv6 socket address; any other family, or null, adds nothing.
    void Add(const sockaddr* pAddress);
    // Adds the broadcast address of an IPv4 subnet; any other family, or null, adds nothing.
    void AddBroadcast(const sockaddr* pAddress);
    void AddIPv4(uint32_t nAddress) { m_ipv4.push_back(nAddress); }
    void AddBroadcastIPv4(uint32_t nAddress) { m_broadcast4.push_back(nAddress); }
    void AddIPv6(const Address6& address) { m_ipv6.push_back(MakeKey6(address.data())); }
    // Sorts and removes duplicates; call once before publishing.
    void Seal();

    bool ContainsIPv4(uint32_t nAddress) const;
    bool ContainsIPv6(const uint8_t* pbAddress) const;
    bool IsLocalAddress(uint32_t nAddress) const override { return ContainsIPv4(nAddress); }
    bool IsLocalAddress6(const uint8_t* pbAddress) const override {
        return ContainsIPv6(pbAddress);
    }
    bool IsBroadcastAddress(uint32_t nAddress) const override;
    bool operator==(const CAddressTable& other) const {
        return m_ipv4 == other.m_ipv4 && m_ipv6 == other.m_ipv6 &&
               m_broadcast4 == other.m_broadcast4;
    }

private:
    std::vector<uint32_t> m_ipv4;
    std::vector<uint32_t> m_broadcast4;
    // An IPv6 address as two integers, compared in two steps instead of sixteen.
    struct Key6 {
        uint64_t nHigh, nLow;
        auto operator<=>(const Key6&) const = default;
    };
    static Key6 MakeKey6(const uint8_t* pbAddress);

    std::vector<Key6> m_ipv6;
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
    bool IsBroadcastAddress(uint32_t nAddress) const {
        return m_pCurrent.load(std::memory_order_acquire)->IsBroadcastAddress(nAddress);
    }

    // Writer side, one writer at a time.
    void Publish(CAddressTable table);
    void Trim();

private:
    std::vector<std::unique_ptr<const CAddressTable>> m_tables;
    std::atomic<const CAddressTable*> m_pCurrent;
};
