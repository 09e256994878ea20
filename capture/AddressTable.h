#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

struct sockaddr;
class CAddressTable;

// Tells the host's own addresses. Capture threads ask for every batch, several at once.
struct IAddressLookup {
    // A capture thread inside a batch (see CBatchMark); must not lock, allocate or wait. The host's
    // addresses now: the table stays readable until the caller's batch ends, so it may keep it
    // for the batch.
    virtual const CAddressTable& GetAddressTable() const = 0;

protected:
    ~IAddressLookup() = default;
};

// A capture thread's announcement of its batches, read by whoever replaces address tables: odd
// while the thread delivers a batch, even between batches. A table replaced while the thread was
// inside a batch is kept until that batch ends; one replaced between batches is never read again.
class CBatchMark {
public:
    // Capture thread, before a batch. Sequentially consistent, as the table's publication and
    // both loads are: either the batch reads the newest table, or its writer sees the batch (a
    // locked store, once a batch, never per packet).
    void Enter() {
        m_nMark.store(m_nMark.load(std::memory_order_relaxed) + 1, std::memory_order_seq_cst);
    }
    // Capture thread, after a batch: it holds no table any more.
    void Leave() {
        m_nMark.store(m_nMark.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    // Any thread.
    uint64_t Get() const { return m_nMark.load(std::memory_order_seq_cst); }

private:
    std::atomic<uint64_t> m_nMark{0};
};

// What an address table's index alone tells of an address: Unknown where a search must decide.
enum class EMembership : uint8_t { Absent, Present, Unknown };

// The host's own addresses at one moment: IPv4 keys as the four address bytes in memory order
// (network order), IPv6 addresses as their 16 bytes. Immutable once published.
class CAddressTable final : public IAddressLookup {
public:
    using Address6 = std::array<uint8_t, 16>;

    // Adds an IPv4 or IPv6 socket address; any other family, or null, adds nothing.
    void Add(const sockaddr* pAddress);
    // Adds the broadcast address of an IPv4 subnet; any other family, or null, adds nothing.
    void AddBroadcast(const sockaddr* pAddress);
    void AddIPv4(uint32_t nAddress) { m_ipv4.Add(nAddress); }
    void AddBroadcastIPv4(uint32_t nAddress) { m_broadcast4.Add(nAddress); }
    void AddIPv6(const Address6& address) { m_ipv6.Add(MakeKey6(address.data())); }
    // Sorts, removes duplicates and builds the index; call once before publishing.
    void Seal();

    // In line and in a few steps whatever the table's size, since every captured packet asks.
    bool ContainsIPv4(uint32_t nAddress) const { return m_ipv4.Contains(nAddress); }
    bool ContainsIPv6(const uint8_t* pbAddress) const {
        return m_ipv6.Contains(MakeKey6(pbAddress));
    }
    bool ContainsBroadcastIPv4(uint32_t nAddress) const { return m_broadcast4.Contains(nAddress); }
    // The index alone, for a caller that takes the few Unknown answers elsewhere and so needs no
    // call on its own path.
    EMembership FindIPv4(uint32_t nAddress) const { return m_ipv4.Find(nAddress); }
    EMembership FindIPv6(const uint8_t* pbAddress) const {
        return m_ipv6.Find(MakeKey6(pbAddress));
    }
    EMembership FindBroadcastIPv4(uint32_t nAddress) const { return m_broadcast4.Find(nAddress); }
    // A fixed table is its own lookup.
    const CAddressTable& GetAddressTable() const override { return *this; }
    bool operator==(const CAddressTable& other) const {
        return m_ipv4 == other.m_ipv4 && m_ipv6 == other.m_ipv6 &&
               m_broadcast4 == other.m_broadcast4;
    }

private:
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

    // A set of keys with a direct-mapped index in front: every key has one slot, picked by a hash
    // of it, and a key is in the set when its slot holds it. Only where two members share a slot
    // does a search of the sorted keys decide. Free slots hold a key that hashes elsewhere.
    template <typename TKey> class CKeySet {
    public:
        CKeySet();
        void Add(const TKey& key) { m_keys.push_back(key); }
        void Seal();
        EMembership Find(const TKey& key) const {
            const size_t nSlot = SlotOf(key);
            if (m_aSlots[nSlot] == key) {
                return EMembership::Present;
            }
            return ((m_nShared >> nSlot) & 1) != 0 ? EMembership::Unknown : EMembership::Absent;
        }
        bool Contains(const TKey& key) const {
            const EMembership eFound = Find(key);
            return eFound == EMembership::Present ||
                   (eFound == EMembership::Unknown && Search(key));
        }
        bool operator==(const CKeySet& other) const { return m_keys == other.m_keys; }

    private:
        static constexpr unsigned kSlotBits = 6;
        // Fibonacci hashing: the top bits of the key times 2^64 over the golden ratio.
        static constexpr uint64_t kGolden = 0x9E3779B97F4A7C15U;
        static size_t SlotOf(uint32_t nKey) { return (nKey * kGolden) >> (64 - kSlotBits); }
        static size_t SlotOf(const Key6& key) {
            return ((key.nHigh ^ key.nLow) * kGolden) >> (64 - kSlotBits);
        }
        bool Search(const TKey& key) const;

        std::vector<TKey> m_keys; // sorted once sealed
        std::array<TKey, size_t{1} << kSlotBits> m_aSlots;
        uint64_t m_nShared = 0; // a bit per slot that two or more keys hash to
    };

    CKeySet<uint32_t> m_ipv4;
    CKeySet<uint32_t> m_broadcast4;
    CKeySet<Key6> m_ipv6;
};

// Publishes address tables to capture threads without a lock: a reader loads the current table
// with one acquire load, inside a batch it announces (CBatchMark). A replaced table is freed once
// every reader that was inside a batch when it was replaced has left that batch, so that months of
// address changes keep only the tables still read.
class CAddressMap {
public:
    using Readers = std::vector<const CBatchMark*>;

    CAddressMap();
    CAddressMap(const CAddressMap&) = delete;
    CAddressMap& operator=(const CAddressMap&) = delete;

    // A capture thread inside a batch: the table published last; see
    // IAddressLookup::GetAddressTable for how long it lives.
    const CAddressTable& GetCurrent() const { return *m_pCurrent.load(std::memory_order_seq_cst); }
    // Any thread: the current table, kept as long as the caller holds it.
    std::shared_ptr<const CAddressTable> Share() const;

    // Writer side, one writer at a time. Publish makes the table current unless it equals the
    // current one; the table it replaces is kept for the readers now inside a batch, and tables
    // replaced before are freed once theirs have left it. Every reader named must outlive the
    // tables it may hold: until the next Publish or Trim.
    void Publish(CAddressTable table, const Readers& readers);
    // Frees every replaced table: only when no capture thread runs.
    void Trim();
    // Any thread: how many replaced tables are kept.
    size_t GetKeptCount() const;

private:
    // A replaced table and the readers that were inside a batch when it was replaced, each with
    // its mark then.
    struct Replaced {
        std::shared_ptr<const CAddressTable> pTable;
        std::vector<std::pair<const CBatchMark*, uint64_t>> readers;
    };

    mutable std::mutex m_mtx; // guards the owners below; never held by a capture thread
    std::shared_ptr<const CAddressTable> m_pCurrentOwner;
    std::vector<Replaced> m_replaced;
    std::atomic<const CAddressTable*> m_pCurrent;
};
