#pragma once

#include "LinkLayer.h"

#include <array>
#include <cstdint>
#include <string>

struct pcap_pkthdr;
class CZarnException;

// One captured packet, valid only for the duration of the AnalyzePacket call that receives it.
struct PacketInfo {
    const pcap_pkthdr* pHeader; // caplen bytes of pData are readable; len, the wire length, is no
                                // less than caplen
    const uint8_t* pData;       // first byte of the link-layer header
    uint32_t nLinkHeaderLength; // bytes in front of the network-layer header
    ENetworkProtocol eNetworkProtocol;
    // The device's MTU, which no packet on its wire exceeds past the link header: a longer one is
    // a merged packet (Segments.h). kUnknownMtu when not known.
    uint32_t nMtu = kUnknownMtu;
    static constexpr uint32_t kUnknownMtu = UINT32_MAX;
    // The device's libpcap link type (DLT_*): Ethernet unless said.
    int nLinkType = 1;
};

// How a tunnel's outer packets are told among the host's flows: nProtocol (UDP or TCP) from or
// to nPort at either end, with the peer aRemote when its family is set (4: the first four bytes,
// 6). nPort 0: not known (GRE, IP-in-IP and other tunnels that are neither, or no carrier told).
struct OuterFlow {
    uint16_t nPort = 0;
    uint8_t nRemoteFamily = 0;
    std::array<uint8_t, 16> aRemote{};
    uint8_t nProtocol = 17;
    bool operator==(const OuterFlow&) const = default;
};

// Receives the packets of one device. Every call comes from that device's capture thread, one
// at a time; none may throw, wait for another thread or stop adapters, and AnalyzePacket must
// return promptly: it runs once per packet.
struct IPacketAnalyzer {
    // Capture thread: one packet with a non-zero wire length.
    virtual void AnalyzePacket(PacketInfo* pInfo) = 0;
    // Capture thread, after each batch of packets it delivered: for work that need not be done
    // per packet.
    virtual void OnPacketsDelivered() {}
    // Capture thread, after OnPacketsDelivered: whether the next packets are wanted without the
    // rest a capture thread may take between batches of steady traffic (flows just started, whose
    // next packets may start more).
    virtual bool WantsPromptDelivery() { return false; }
    // Capture thread, now and then and when capture ends: the packets the kernel dropped for this
    // device's capture since it was opened (ring full, interface drops).
    virtual void OnDropCount(int64_t nDrops) { (void)nDrops; }
    // Capture thread, after each batch's OnPacketsDelivered and, while it answers true, whenever a
    // wait ends without packets (within kIdleRetryMs, however quiet the device stays): does work
    // the batches left undone (flows the resolver had no room for yet). True while some is left.
    virtual bool FinishWork() { return false; }
    static constexpr int kIdleRetryMs = 50;

protected:
    ~IPacketAnalyzer() = default;
};

// How a device is to be opened: the listener's answer to its announcement.
struct CaptureRequest {
    // Whole packets, for analyzers that read more than the headers.
    static constexpr int kFullSnapshotLength = 65535;

    // Gets the device's packets while it is open; must outlive the capture. Never null.
    IPacketAnalyzer* pAnalyzer = nullptr;
    // A libpcap filter installed before the first packet is read; empty: none.
    std::string strFilter;
    bool bPromiscuous = false;
    // The first bytes of each packet that are captured.
    int nSnapshotLength = kFullSnapshotLength;
    // The kernel ring in bytes; 0 picks the default for the snapshot length.
    int nRingBytes = 0;
    // A small ring whose packets are handed over at once (set by the capture control for the many
    // devices of a container host beyond the first few): it takes a fraction of the default
    // ring's memory, at the cost of a wake-up per packet when traffic is slow and a ring that
    // fills sooner in a burst. Only where nRingBytes is 0.
    bool bSmallRing = false;
    // The longest a packet waits in a ring block before the capture thread sees it (the read
    // time-out). Shorter for a meter that must see a flow's first packet while its socket exists.
    int nDeliveryMs = kDefaultDeliveryMs;
    static constexpr int kDefaultDeliveryMs = 100;
};

struct IAdapterListener {
    // Called by the address monitor on its thread for a failure while following changes (a
    // device that could not be opened, a listing that failed, the news itself failing), and by
    // the application on its own thread. Must not wait for the thread that may be stopping
    // capture.
    virtual void OnException(const CZarnException& e) = 0;
    // Called by a device refresh, on threads of its own and for several devices at once, while
    // the refreshing thread (the one that called Start, or the monitor thread) waits; for a
    // device whose adapter is new or not running. Answers how to open it; the manager then opens
    // it. Must not start or stop capture or wait for the user-interface thread. A throw counts as
    // the device's failure to open. szDeviceName is valid only during the call. bCarried: the
    // device is a tunnel (DeviceState's Carried), whose packets must not add to the totals;
    // outer tells its outer packets.
    virtual CaptureRequest OnAdapterFound(const char* szDeviceName, bool bCarried,
                                          const OuterFlow& outer) = 0;

protected:
    ~IAdapterListener() = default;
};
