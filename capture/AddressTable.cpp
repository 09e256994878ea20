#include "AddressTable.h"

#include <algorithm>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <utility>

void CAddressTable::Add(const sockaddr* pAddress) {
    if (pAddress == nullptr) {
        return;
    }
    if (pAddress->sa_family == AF_INET) {
        const auto* pIn = reinterpret_cast<const sockaddr_in*>(pAddress);
        m_ipv4.Add(pIn->sin_addr.s_addr);
    } else if (pAddress->sa_family == AF_INET6) {
        const auto* pIn6 = reinterpret_cast<const sockaddr_in6*>(pAddress);
        m_ipv6.Add(MakeKey6(reinterpret_cast<const uint8_t*>(&pIn6->sin6_addr)));
    }
}

void CAddressTable::AddBroadcast(const sockaddr* pAddress) {
    if (pAddress != nullptr && pAddress->sa_family == AF_INET) {
        m_broadcast4.Add(reinterpret_cast<const sockaddr_in*>(pAddress)->sin_addr.s_addr);
    }
}

void CAddressTable::Seal() {
    m_ipv4.Seal();
    m_broadcast4.Seal();
    m_ipv6.Seal();
}

template <typename TKey> CAddressTable::CKeySet<TKey>::CKeySet() {
    // Free slots hold the zero key, except its own slot, which holds the first key that hashes
    // elsewhere: a free slot never matches.
    m_aSlots.fill(TKey{});
    TKey filler{};
    for (uint8_t n = 1; SlotOf(filler) == SlotOf(TKey{}); ++n) {
        std::memcpy(&filler, &n, 1);
    }
    m_aSlots[SlotOf(TKey{})] = filler;
}

template <typename TKey> void CAddressTable::CKeySet<TKey>::Seal() {
    std::sort(m_keys.begin(), m_keys.end());
    m_keys.erase(std::unique(m_keys.begin(), m_keys.end()), m_keys.end());
    uint64_t nUsed = 0;
    for (const TKey& key : m_keys) {
        const size_t nSlot = SlotOf(key);
        if (((nUsed >> nSlot) & 1) != 0) {
            m_nShared |= uint64_t{1} << nSlot;
        } else {
            m_aSlots[nSlot] = key;
            nUsed |= uint64_t{1} << nSlot;
        }
    }
}

template <typename TKey> bool CAddressTable::CKeySet<TKey>::Search(const TKey& key) const {
    return std::binary_search(m_keys.begin(), m_keys.end(), key);
}

template class CAddressTable::CKeySet<uint32_t>;
template class CAddressTable::CKeySet<CAddressTable::Key6>;

CAddressMap::CAddressMap()
    : m_pCurrentOwner(std::make_shared<const CAddressTable>()), m_pCurrent(m_pCurrentOwner.get()) {}

std::shared_ptr<const CAddressTable> CAddressMap::Share() const {
    std::lock_guard guard(m_mtx);
    return m_pCurrentOwner;
}

void CAddressMap::Publish(CAddressTable table, const Readers& readers) {
    table.Seal();
    if (table == *m_pCurrent.load(std::memory_order_relaxed)) {
        return; // a refresh that changed no address
    }
    auto pTable = std::make_shared<const CAddressTable>(std::move(table));
    Replaced replaced;
    {
        std::lock_guard guard(m_mtx);
        replaced.pTable = std::exchange(m_pCurrentOwner, pTable);
    }
    // Pairs with CBatchMark::Enter, all sequentially consistent: a reader whose mark is even here
    // enters its next batch after this store and so reads the new table; one whose mark is odd
    // may hold the old one.
    m_pCurrent.store(pTable.get(), std::memory_order_seq_cst);
    for (const CBatchMark* pReader : readers) {
        if (const uint64_t nMark = pReader->Get(); (nMark & 1) != 0) {
            replaced.readers.emplace_back(pReader, nMark);
        }
    }
    std::lock_guard guard(m_mtx);
    m_replaced.push_back(std::move(replaced));
    std::erase_if(m_replaced, [](Replaced& entry) {
        std::erase_if(entry.readers, [](const auto& reader) {
            return reader.first->Get() != reader.second; // that batch is over
        });
        return entry.readers.empty();
    });
}

void CAddressMap::Trim() {
    std::lock_guard guard(m_mtx);
    m_replaced.clear();
}

size_t CAddressMap::GetKeptCount() const {
    std::lock_guard guard(m_mtx);
    return m_replaced.size();
}
