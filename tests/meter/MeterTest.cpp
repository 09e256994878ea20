// The meter's pure side on crafted packets, with a fixed table of host addresses and a view that
// the test serves as the user-interface thread would.

#include "FakeCapture.h"
#include "FakeMeterView.h"
#include "Frames.h"
#include "OrvekMeter.h"
#include "ZarnException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <stdexcept>
#include <thread>

using namespace orvektest;

namespace {

// Filler link header of 0xEE bytes, then a network header whose addresses are all 0xEE unless
// given. Only the captured bytes exist, in a heap block of exactly that size: AddressSanitizer sees
// any read past them.
struct CraftedPacket {
    CraftedPacket(uint32_t nHeader, ENetworkProtocol eProtocol, uint32_t nWire, uint32_t nCapLen,
                  const char* szSource = "", const char* szDest = "")
        : pBytes(new uint8_t[nCapLen]) {
        const std::vector<uint8_t> frame =
            MakeIpFrame(nHeader, eProtocol == ENetworkProtocol::IPv6, nWire, szSource, szDest);
        std::memcpy(pBytes.get(), frame.data(), nCapLen);
        header = {{}, nCapLen, nWire};
        info = {&header, pBytes.get(), nHeader, eProtocol};
    }
    std::unique_ptr<uint8_t[]> pBytes;
    pcap_pkthdr header{};
    PacketInfo info{};
};

// The host's addresses: the crafted sources, or nothing.
CAddressTable MakeTable(bool bCraftedSourceIsLocal) {
    CAddressTable table;
    if (bCraftedSourceIsLocal) {
        table.AddIPv4(0xEEEEEEEE);
        CAddressTable::Address6 address6;
        address6.fill(0xEE);
        table.AddIPv6(address6);
    }
    table.Seal();
    return table;
}

// Checks ClassifyPacket on frames between the host of MakeHostTable and others.
void ExpectDirections(const CAddressTable& table);

TEST(MeterCount, ThresholdOverEveryLinkHeaderAndSourceDecidesSent) {
    using Row = std::pair<uint32_t, int64_t>; // wire length, bytes counted
    for (const bool bLocal : {false, true}) {
        const CAddressTable table = MakeTable(bLocal);
        for (const uint32_t nHeader : {0u, 4u, 14u, 16u, 18u, 20u}) {
            for (const auto eProtocol :
                 {ENetworkProtocol::IPv4, ENetworkProtocol::IPv6, ENetworkProtocol::Other}) {
                const uint32_t nNeeded = nHeader + (eProtocol == ENetworkProtocol::IPv6 ? 24 : 16);
                // Shorter than the link header, one byte short of the minimum network header,
                // exactly it, a full frame; each with every capture length up to the wire length,
                // which is what counts. A capture too short to hold the source counts as received.
                for (const auto& [nWire, nCount] :
                     {Row{std::max(nHeader, 2u) - 1, 0}, Row{nHeader + 19, 0},
                      Row{nHeader + 20, 20}, Row{nHeader + 1500, 1500}}) {
                    for (uint32_t nCapLen = 0; nCapLen <= nWire; ++nCapLen) {
                        SCOPED_TRACE(testing::Message()
                                     << bLocal << "/" << nHeader << "/" << int(eProtocol) << "/"
                                     << nWire << "/" << nCapLen);
                        CFakeView view;
                        CFakeControl control;
                        COrvekMeter meter(view, table, control);
                        // Promiscuous: whatever is not sent counts as received.
                        meter.SetCaptureSettings("", true);
                        IPacketAnalyzer& device = Announce(meter, "eth0");
                        CraftedPacket packet(nHeader, eProtocol, nWire, nCapLen);
                        device.AnalyzePacket(&packet.info);
                        device.OnPacketsDelivered();
                        const bool bSent = bLocal && nCapLen >= nNeeded;
                        EXPECT_EQ(meter.GetSentBytes(), bSent ? nCount : 0);
                        EXPECT_EQ(meter.GetRecvBytes(), bSent ? 0 : nCount);
                        // An ignored packet leaves the display alone.
                        EXPECT_EQ(view.GetUpdateCount(), nCount > 0 ? 1 : 0);
                    }
                }
            }
        }
    }
}

// The host: 10.1.0.5/24 (broadcast 10.1.0.255) and fd01::5; with bMany, 300 more addresses of each
// kind, so many that nearly every slot of the table's index is shared and searches decide.
CAddressTable MakeHostTable(bool bMany) {
    CAddressTable table;
    table.AddIPv4(inet_addr("10.1.0.5"));
    table.AddBroadcastIPv4(inet_addr("10.1.0.255"));
    CAddressTable::Address6 address6;
    inet_pton(AF_INET6, "fd01::5", address6.data());
    table.AddIPv6(address6);
    for (uint32_t n = 0; bMany && n < 300; ++n) {
        table.AddIPv4(inet_addr("10.9.0.0") + (n << 16));
        address6[14] = static_cast<uint8_t>(1 + n / 256);
        address6[15] = static_cast<uint8_t>(n);
        table.AddIPv6(address6);
        table.AddBroadcastIPv4(inet_addr("10.10.0.255") + (n << 8));
    }
    table.Seal();
    return table;
}

TEST(MeterClassify, SourceSentDestinationReceivedOtherwiseForwarded) {
    for (const bool bMany : {false, true}) {
        SCOPED_TRACE(bMany ? "many addresses" : "few addresses");
        ExpectDirections(MakeHostTable(bMany));
    }
}

// The meter counts as ClassifyPacket tells, with few addresses (the index decides) and many
// (searches decide).
TEST(MeterCount, CountsWhatClassifyTells) {
    for (const bool bMany : {false, true}) {
        const CAddressTable table = MakeHostTable(bMany);
        for (const bool bPromiscuous : {false, true}) {
            CFakeView view;
            CFakeControl control;
            COrvekMeter meter(view, table, control);
            meter.SetCaptureSettings("", bPromiscuous);
            IPacketAnalyzer& device = Announce(meter, "eth0");
            const DeviceCounters& counters = meter.GetDevice("eth0").GetCounters();
            for (const char* szSource :
                 {"10.1.0.5", "192.0.2.1", "10.2.0.7", "fd01::5", "fd02::7"}) {
                for (const char* szDest : {"10.1.0.5", "10.1.0.255", "224.0.0.1", "192.0.2.9",
                                           "fd01::5", "ff02::1", "2001:db8::9"}) {
                    const bool bIPv6 = std::strchr(szSource, ':') != nullptr;
                    if (bIPv6 != (std::strchr(szDest, ':') != nullptr)) {
                        continue;
                    }
                    SCOPED_TRACE(testing::Message()
                                 << bMany << bPromiscuous << " " << szSource << " " << szDest);
                    CraftedPacket packet(14,
                                         bIPv6 ? ENetworkProtocol::IPv6 : ENetworkProtocol::IPv4,
                                         100, 100, szSource, szDest);
                    const int64_t nSent = counters.nSentBytes, nRecv = counters.nRecvBytes;
                    device.AnalyzePacket(&packet.info);
                    device.OnPacketsDelivered();
                    const EDirection eDirection = ClassifyPacket(packet.info, table, bPromiscuous);
                    EXPECT_EQ(counters.nSentBytes - nSent, eDirection == EDirection::Sent ? 86 : 0);
                    EXPECT_EQ(counters.nRecvBytes - nRecv,
                              eDirection == EDirection::Received ? 86 : 0);
                }
            }
        }
    }
}

// A lookup whose table the test replaces, as the manager does when the host's addresses change.
class CChangingLookup : public IAddressLookup {
public:
    const CAddressTable& GetAddressTable() const override { return *m_pTable.load(); }
    void Set(const CAddressTable& table) { m_pTable.store(&table); }

private:
    std::atomic<const CAddressTable*> m_pTable{nullptr};
};

// The addresses are read once a batch: a change applies from the next batch on.
TEST(MeterCount, AddressChangeAppliesFromTheNextBatch) {
    const CAddressTable before = MakeTable(false), after = MakeTable(true);
    CChangingLookup lookup;
    lookup.Set(before);
    CFakeView view;
    CFakeControl control;
    COrvekMeter meter(view, lookup, control);
    IPacketAnalyzer& device = Announce(meter, "eth0");
    CraftedPacket packet(14, ENetworkProtocol::IPv4, 100, 100);
    device.AnalyzePacket(&packet.info);
    lookup.Set(after);
    device.AnalyzePacket(&packet.info);
    EXPECT_EQ(meter.GetRecvBytes(), 2 * 86);
    device.OnPacketsDelivered();
    device.AnalyzePacket(&packet.info);
    EXPECT_EQ(meter.GetSentBytes(), 86);
}

void ExpectDirections(const CAddressTable& table) {
    using E = EDirection;
    // Source, destination, direction without and with promiscuous capture.
    const std::tuple<const char*, const char*, E, E> cases[] = {
        {"10.1.0.5", "192.0.2.1", E::Sent, E::Sent},
        {"192.0.2.1", "10.1.0.5", E::Received, E::Received},
        {"10.1.0.9", "10.1.0.255", E::Received, E::Received},      // the subnet's broadcast
        {"10.1.0.9", "255.255.255.255", E::Received, E::Received}, // limited broadcast
        {"10.1.0.9", "224.0.0.251", E::Received, E::Received},     // multicast
        {"10.1.0.9", "239.255.255.250", E::Received, E::Received},
        {"10.2.0.7", "192.0.2.1", E::Forwarded, E::Received},  // a container's upload
        {"192.0.2.1", "10.2.0.7", E::Forwarded, E::Received},  // and its download
        {"10.2.0.7", "10.2.0.255", E::Forwarded, E::Received}, // another subnet's broadcast
        {"fd01::5", "2001:db8::1", E::Sent, E::Sent},
        {"2001:db8::1", "fd01::5", E::Received, E::Received},
        {"fe80::1", "ff02::1", E::Received, E::Received},
        {"fd02::7", "2001:db8::1", E::Forwarded, E::Received},
    };
    for (const auto& [szSource, szDest, eNormal, ePromiscuous] : cases) {
        const auto eProtocol =
            std::strchr(szSource, ':') ? ENetworkProtocol::IPv6 : ENetworkProtocol::IPv4;
        CraftedPacket frame(14, eProtocol, 100, 100, szSource, szDest);
        EXPECT_EQ(ClassifyPacket(frame.info, table, false), eNormal) << szSource << " " << szDest;
        EXPECT_EQ(ClassifyPacket(frame.info, table, true), ePromiscuous) << szSource;
        // A capture that holds the source but not the whole destination cannot show forwarding.
        frame.header.caplen = eProtocol == ENetworkProtocol::IPv6 ? 14 + 39 : 33;
        EXPECT_EQ(ClassifyPacket(frame.info, table, false),
                  eNormal == E::Sent ? E::Sent : E::Received)
            << szSource;
    }
    // Not IP: the bytes where an IPv4 source would stand decide, as for any other frame.
    CraftedPacket arp(14, ENetworkProtocol::Other, 100, 100, "10.2.0.7", "192.0.2.1");
    EXPECT_EQ(ClassifyPacket(arp.info, table, false), E::Received);
    CraftedPacket arpFromHost(14, ENetworkProtocol::Other, 100, 100, "10.1.0.5", "192.0.2.1");
    EXPECT_EQ(ClassifyPacket(arpFromHost.info, table, false), E::Sent);
}

// Short bursts from a capture thread while this thread serves the view: the first packet starts
// an update, the second comes up to 20 us later (spread over the bursts), so that some land while
// the update is being released. Once a burst is counted and the view has run what was posted, the
// shown totals are the burst's: a release that lost the wake-up of a packet counted during it would
// leave them one update short for good.
TEST(MeterDisplay, EveryBurstEndsShownWhileTheViewServesConcurrently) {
    CFakeView view;
    CFakeControl control;
    const CAddressTable table = MakeTable(false);
    COrvekMeter meter(view, table, control);
    IPacketAnalyzer& device = Announce(meter, "a");
    CraftedPacket packet(14, ENetworkProtocol::IPv4, 114, 54);
    // However many packets come, one update is pending until the view has served it.
    for (int i = 0; i < 1000; ++i) {
        device.AnalyzePacket(&packet.info);
        device.OnPacketsDelivered();
    }
    EXPECT_EQ(view.GetUpdateCount(), 1);
    view.Serve();
    int64_t nShown = 1000 * 100;
    for (int nBurst = 1; nBurst <= 12000; ++nBurst) {
        std::atomic<bool> bDone{false};
        std::jthread capture([&] {
            device.AnalyzePacket(&packet.info);
            device.OnPacketsDelivered();
            const auto until = std::chrono::steady_clock::now() +
                               std::chrono::nanoseconds(nBurst * 7919 % 200 * 100);
            while (std::chrono::steady_clock::now() < until) {
            }
            device.AnalyzePacket(&packet.info);
            device.OnPacketsDelivered();
            bDone.store(true);
        });
        while (!bDone.load()) {
            view.Serve();
        }
        capture.join();
        view.Serve();
        nShown += 200;
        ASSERT_EQ(view.GetShown().first, COrvekMeter::FormatRecv(nShown)) << "burst " << nBurst;
    }
    EXPECT_FALSE(view.SawDoublePending());
}

// Four capture threads, each with its own device, against one view thread: nothing lost, the
// last total shown, never two updates pending.
TEST(MeterDisplay, ConcurrentCaptureThreadsLoseNoCount) {
    CFakeView view;
    CFakeControl control;
    const CAddressTable table = MakeTable(true);
    COrvekMeter meter(view, table, control);
    constexpr int kThreads = 4, kPackets = 200000;
    std::vector<IPacketAnalyzer*> devices;
    for (int t = 0; t < kThreads; ++t) {
        devices.push_back(&Announce(meter, ("eth" + std::to_string(t)).c_str()));
    }
    std::atomic<int> nFinished{0};
    std::vector<std::jthread> capture;
    for (int t = 0; t < kThreads; ++t) {
        capture.emplace_back([&, t] {
            CraftedPacket packet(14, ENetworkProtocol::IPv4, 1514, 54);
            for (int i = 0; i < kPackets; ++i) {
                devices[t]->AnalyzePacket(&packet.info);
                devices[t]->OnPacketsDelivered();
            }
            nFinished.fetch_add(1);
        });
    }
    while (nFinished.load() < kThreads) {
        view.Serve();
    }
    view.Serve();
    constexpr int64_t nExpected = int64_t{kThreads} * kPackets * 1500;
    EXPECT_EQ(meter.GetSentBytes(), nExpected);
    EXPECT_EQ(view.GetShown(), Texts(" Recv  0.000 Mb", COrvekMeter::FormatSent(nExpected)));
    EXPECT_FALSE(view.SawDoublePending());
}

// A device no listing shows is "gone", and forgotten once gone for the expiry: totals keep its
// bytes, and if it comes back it counts from zero. One listed again, or opened, is not gone.
TEST(MeterSnapshot, GoneDevicesAreForgottenAfterTheExpiryAndReturnFromZero) {
    CFakeView view;
    CFakeControl control;
    const CAddressTable table = MakeTable(false);
    COrvekMeter meter(view, table, control);
    meter.SetGoneExpiry(std::chrono::hours(1));
    meter.SetCaptureSettings("", true);
    CraftedPacket packet(14, ENetworkProtocol::IPv4, 114, 114);
    for (const char* szDevice : {"veth1", "veth2"}) {
        Announce(meter, szDevice).AnalyzePacket(&packet.info);
    }
    control.SetDeviceStates({{"veth2", "virtual", EDeviceState::Capturing, ""}});
    const auto stateOf = [&](const char* szDevice) {
        const MeterSnapshot snapshot = meter.GetSnapshot();
        EXPECT_EQ(snapshot.nRecvBytes, 200);
        const auto it = std::ranges::find(snapshot.devices, szDevice, &DeviceSnapshot::strName);
        return it == snapshot.devices.end() ? std::string("forgotten")
                                            : it->strState + " " + std::to_string(it->nRecvBytes);
    };
    EXPECT_EQ(stateOf("veth1"), "gone 100");
    EXPECT_EQ(stateOf("veth1"), "gone 100"); // an hour has not passed
    meter.SetGoneExpiry({});
    Announce(meter, "veth1"); // opened again: not gone
    EXPECT_EQ(stateOf("veth1"), "gone 100");
    EXPECT_EQ(stateOf("veth1"), "forgotten");
    EXPECT_EQ(meter.GetRecvBytes(), 200);
    EXPECT_EQ(stateOf("veth2"), "capturing 100");
    Announce(meter, "veth1").AnalyzePacket(&packet.info);
    EXPECT_EQ(meter.GetRecvBytes(), 300);
    EXPECT_EQ(meter.GetSnapshot().nRecvBytes, 300);
}

TEST(MeterException, ShowsOnlyDescribedFailuresUnderExceptionCaption) {
    CFakeView view;
    CFakeControl control;
    const CAddressTable table;
    COrvekMeter meter(view, table, control);
    meter.OnException(CZarnException(EPERM));
    meter.OnException(CZarnException(0, "syntax error"));
    EXPECT_EQ(view.GetMessages(), std::vector<Texts>({{"syntax error", "Exception"}}));
    // Whatever else a button handler catches is shown too, rather than ending the process.
    for (const auto& fnThrow : std::vector<std::function<void()>>{
             [] { throw std::bad_alloc(); }, [] { throw std::runtime_error("no thread"); },
             [] { throw CZarnException(EAGAIN); }, [] { throw 7; }}) {
        try {
            fnThrow();
        } catch (...) {
            meter.OnCurrentException();
        }
    }
    EXPECT_EQ(view.GetMessages(), std::vector<Texts>({{"syntax error", "Exception"},
                                                      {std::strerror(ENOMEM), "Exception"},
                                                      {"no thread", "Exception"},
                                                      {std::strerror(EAGAIN), "Exception"},
                                                      {"unknown error", "Exception"}}));
}

} // namespace
