#pragma once

#include "LinkLayer.h"

#include <atomic>
#include <cstdint>

struct pcap_pkthdr;
class CAdapter;
class CAddressTable;
class CZarnException;

// What one device's capture has counted. The listener owns it and hands it to the adapter it
// opens; only that adapter's capture thread writes it, so no two devices share a cache line.
struct alignas(64) DeviceCounters {
    std::atomic<int64_t> nSentBytes{0};
    std::atomic<int64_t> nRecvBytes{0};
    std::atomic<int64_t> nSentPackets{0};
    std::atomic<int64_t> nRecvPackets{0};
    // Packets the kernel dropped for this device's captures (ring full, interface drops).
    std::atomic<int64_t> nDrops{0};
    // The analyzer's own notes, kept by the capture thread alone, for work done once per batch:
    // a mark of the counts, and the host's addresses as the batch's first packet found them.
    int64_t nAnalyzerMark = 0;
    const CAddressTable* pAnalyzerAddresses = nullptr;
};

// One captured packet, valid only for the duration of the AnalyzePacket call that receives it.
struct PacketInfo {
    const pcap_pkthdr* pHeader; // caplen bytes of pData are readable; len, the wire length, is no
                                // less than caplen
    const uint8_t* pData;       // first byte of the link-layer header
    uint32_t nLinkHeaderLength; // bytes in front of the network-layer header
    ENetworkProtocol eNetworkProtocol;
    DeviceCounters* pCounters; // the capturing adapter's counters; never null
};

struct IPacketAnalyzer {
    // Called by an adapter's capture thread for every packet with a non-zero wire length, several
    // threads at once. Must return promptly, must not throw, must not stop adapters or wait for
    // the user-interface or monitor thread.
    virtual void AnalyzePacket(PacketInfo* pInfo) = 0;
    // Called by the same capture thread after each batch of packets it delivered, with the
    // adapter's counters: for work that need not be done per packet. Same rules as AnalyzePacket.
    virtual void OnPacketsDelivered(DeviceCounters* pCounters) { (void)pCounters; }

protected:
    ~IPacketAnalyzer() = default;
};

struct IAdapterListener : IPacketAnalyzer {
    // Called by the address monitor on its thread for a failure that ended it (and by the
    // application on its own thread). Must not wait for the thread that may be stopping capture.
    virtual void OnException(const CZarnException& e) = 0;
    // Called by a device refresh, on threads of its own, for several adapters at once (each
    // adapter on one thread), while the refreshing thread (the one that called Start, or the
    // monitor thread) holds the manager's lock; for an adapter that is new or not running.
    // Expected to Open it and may SetFilter; must not take the manager's lock or wait for the
    // user-interface thread. szDeviceName is valid only during the call.
    virtual void OnAdapterFound(CAdapter* pAdapter, const char* szDeviceName) = 0;

protected:
    ~IAdapterListener() = default;
};
