#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

struct sockaddr;
class CAddressTable;

// Tells the host's own addresses. Capture threads ask for every packet, several at once.
struct IAddressLookup {
    // Any thread; must not lock, allocate or wait. The host's addresses now: a table once
    // returned stays readable until capture stops, so a caller may keep it for a batch.
    virtual const CAddressTable& GetAddressTable() const = 0;

    // Look-ups in the current table. nAddress: the four address bytes in packet (network) order;
    // pbAddress: the 16 address bytes.
    bool IsLocalAddress(uint32_t nAddress) const;
    bool IsLocalAddress6(const uint8_t* pbAddress) const;
    // Whether an IPv4 address is the broadcast address of one of the host's subnets.
    bool IsBroadcastAddress(uint32_t nAddress) const;

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
    // The same answers in a few steps without a call, for a capture thread's every packet: a host
    // has a handful of addresses of each kind, which a scan checks. Only while CanScan says so.
    bool CanScanIPv4() const { return m_bScanIPv4; }
    bool CanScanIPv6() const { return m_bScanIPv6; }
    bool ScanIPv4(uint32_t nAddress) const { return Scan(m_ipv4, nAddress); }
    bool ScanBroadcastIPv4(uint32_t nAddress) const { return Scan(m_broadcast4, nAddress); }
    bool ScanIPv6(const uint8_t* pbAddress) const { return Scan(m_ipv6, MakeKey6(pbAddress)); }
    bool ContainsBroadcastIPv4(uint32_t nAddress) const;
    // A fixed table is its own lookup.
    const CAddressTable& GetAddressTable() const override { return *this; }
    bool operator==(const CAddressTable& other) const {
        return m_ipv4 == other.m_ipv4 && m_ipv6 == other.m_ipv6 &&
               m_broadcast4 == other.m_broadcast4;
    }

private:
    static constexpr size_t kScanLimit = 8;

    template <typename TKey> static bool Scan(const std::vector<TKey>& keys, const TKey& key) {
        for (const TKey& own : keys) {
            if (own == key) {
                return true;
            }
        }
        return false;
    }

    std::vector<uint32_t> m_ipv4;
    std::vector<uint32_t> m_broadcast4;
    // An IPv6 address as two integers, compared in two steps instead of sixteen.
    struct Key6 {
        uint64_t nHigh, nLow;
        auto operator<=>(const Key6&) const = default;
    };
    // The order of the table only has to be consistent, not numeric.
    static Key6 MakeKey6(const uint8_t* pbAddress) {
        Key6 key;
        std::memcpy(&key.nHigh, pbAddress, 8);
        std::memcpy(&key.nLow, pbAddress + 8, 8);
        return key;
    }

    std::vector<Key6> m_ipv6;
    // Whether the table is small enough to scan; Seal, which sorts for the search, decides.
    bool m_bScanIPv4 = true;
    bool m_bScanIPv6 = true;
};

// Publishes address tables to capture threads without a lock: a reader loads the current table
// with one acquire load. Replaced tables are kept (equal ones reused) until Trim, which the owner
// calls only when no capture thread can still be reading.
class CAddressMap {
public:
    CAddressMap();
    CAddressMap(const CAddressMap&) = delete;
    CAddressMap& operator=(const CAddressMap&) = delete;

    // The table published last; see IAddressLookup::GetAddressTable for how long it lives.
    const CAddressTable& GetCurrent() const { return *m_pCurrent.load(std::memory_order_acquire); }

    // Writer side, one writer at a time.
    void Publish(CAddressTable table);
    void Trim();

private:
    std::vector<std::unique_ptr<const CAddressTable>> m_tables;
    std::atomic<const CAddressTable*> m_pCurrent;
};

inline bool IAddressLookup::IsLocalAddress(uint32_t nAddress) const {
    return GetAddressTable().ContainsIPv4(nAddress);
}

inline bool IAddressLookup::IsLocalAddress6(const uint8_t* pbAddress) const {
    return GetAddressTable().ContainsIPv6(pbAddress);
}

inline bool IAddressLookup::IsBroadcastAddress(uint32_t nAddress) const {
    return GetAddressTable().ContainsBroadcastIPv4(nAddress);
}
