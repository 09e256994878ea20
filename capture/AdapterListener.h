#pragma once

#include "LinkLayer.h"

#include <cstdint>

struct pcap_pkthdr;
class CAdapter;
class CZarnException;

// One captured packet, valid only for the duration of the AnalyzePacket call that receives it.
struct PacketInfo {
    const pcap_pkthdr* pHeader; // caplen bytes of pData are readable; len is the wire length
    const uint8_t* pData;       // first byte of the link-layer header
    uint32_t nLinkHeaderLength; // bytes in front of the network-layer header
    ENetworkProtocol eNetworkProtocol;
};

struct IPacketAnalyzer {
    // Called by an adapter's capture thread for every packet with a non-zero wire length, several
    // threads at once. Must return promptly, must not throw, must not stop adapters or wait for
    // the user-interface or monitor thread.
    virtual void AnalyzePacket(PacketInfo* pInfo) = 0;
};

struct IAdapterListener : IPacketAnalyzer {
    // Called by the address monitor on its thread for a failure that ended it (and by the
    // application on its own thread). Must not wait for the thread that may be stopping capture.
    virtual void OnException(const CZarnException& e) = 0;
    // Called by a device refresh (the thread that called Start, or the monitor thread) with the
    // manager's lock held, for an adapter that is new or not running. Expected to Open it and may
    // SetFilter; must not wait for another thread. szDeviceName is valid only during the call.
    virtual void OnAdapterFound(CAdapter* pAdapter, const char* szDeviceName) = 0;
};
