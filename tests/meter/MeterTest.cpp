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
#include <functional>
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
        info = {&header, pBytes.get(), nHeader, eProtocol, 1500};
    }
    std::unique_ptr<uint8_t[]> pBytes;
    pcap_pkthdr header{};
    PacketInfo info{};
};

// A meter on a fake view and control, with device "eth0" announced.
struct CFakeMeter {
    explicit CFakeMeter(const IAddressLookup& lookup, bool bPromiscuous = false)
        : meter(view, lookup, control) {
        meter.SetCaptureSettings("", bPromiscuous); // read when the device is announced
        pDevice = &Announce(meter, "eth0");
    }
    // The packet as a batch of its own, as a capture thread delivers it.
    void Deliver(CraftedPacket& packet) {
        pDevice->AnalyzePacket(&packet.info);
        pDevice->OnPacketsDelivered();
    }
    // Delivers the packet and checks that it counted its wire length less the link header as
    // eDirection tells, and nothing else.
    void ExpectCounted(CraftedPacket& packet, EDirection eDirection) {
        const int64_t nSent = meter.GetSentBytes(), nRecv = meter.GetRecvBytes();
        Deliver(packet);
        const int64_t nBytes = packet.header.len - packet.info.nLinkHeaderLength;
        EXPECT_EQ(meter.GetSentBytes() - nSent, eDirection == EDirection::Sent ? nBytes : 0);
        EXPECT_EQ(meter.GetRecvBytes() - nRecv, eDirection == EDirection::Received ? nBytes : 0);
    }

    CFakeView view;
    CFakeControl control;
    COrvekMeter meter;
    IPacketAnalyzer* pDevice = nullptr;
};

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

TEST(MeterCount, ThresholdOverEveryLinkHeaderAndSourceDecidesSent) {
    using Row = std::pair<uint32_t, int64_t>; // wire length, bytes counted
    const CAddressTable table = MakeHostTable(false);
    for (const bool bLocal : {false, true}) {
        for (const uint32_t nHeader : {0u, 4u, 14u, 16u, 18u, 20u}) {
            for (const auto eProtocol :
                 {ENetworkProtocol::IPv4, ENetworkProtocol::IPv6, ENetworkProtocol::Other}) {
                const bool bIPv6 = eProtocol == ENetworkProtocol::IPv6;
                const uint32_t nNeeded = nHeader + (bIPv6 ? 24 : 16);
                const char* szSource = !bLocal ? "" : bIPv6 ? "fd01::5" : "10.1.0.5";
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
                        // Promiscuous: whatever is not sent counts as received.
                        CFakeMeter fake(table, true);
                        CraftedPacket packet(nHeader, eProtocol, nWire, nCapLen, szSource);
                        fake.Deliver(packet);
                        const bool bSent = bLocal && nCapLen >= nNeeded;
                        EXPECT_EQ(fake.meter.GetSentBytes(), bSent ? nCount : 0);
                        EXPECT_EQ(fake.meter.GetRecvBytes(), bSent ? 0 : nCount);
                        // An ignored packet leaves the display alone.
                        EXPECT_EQ(fake.view.GetUpdateCount(), nCount > 0 ? 1 : 0);
                    }
                }
            }
        }
    }
}

// Counted as the addresses tell, with few host addresses (the index decides) and many (searches
// decide): sent by the source, received when addressed to the host, otherwise forwarded and not
// counted; promiscuous capture counts all that is not sent as received. A capture that holds the
// source but not the whole destination cannot show forwarding, nor can a frame that is not IP,
// which the bytes where an IPv4 source would stand decide.
TEST(MeterCount, SourceSentDestinationReceivedOtherwiseForwarded) {
    using E = EDirection;
    const std::tuple<const char*, const char*, E> cases[] = {
        {"10.1.0.5", "192.0.2.1", E::Sent},
        {"192.0.2.1", "10.1.0.5", E::Received},
        {"10.1.0.9", "10.1.0.255", E::Received},      // the subnet's broadcast
        {"10.1.0.9", "255.255.255.255", E::Received}, // limited broadcast
        {"10.1.0.9", "224.0.0.251", E::Received},     // multicast
        {"10.1.0.9", "239.255.255.250", E::Received},
        {"10.2.0.7", "192.0.2.1", E::Forwarded},  // a container's upload
        {"192.0.2.1", "10.2.0.7", E::Forwarded},  // and its download
        {"10.2.0.7", "10.2.0.255", E::Forwarded}, // another subnet's broadcast
        {"fd01::5", "2001:db8::1", E::Sent},
        {"2001:db8::1", "fd01::5", E::Received},
        {"fe80::1", "ff02::1", E::Received},
        {"fd02::7", "2001:db8::1", E::Forwarded},
    };
    for (const bool bMany : {false, true}) {
        const CAddressTable table = MakeHostTable(bMany);
        for (const bool bPromiscuous : {false, true}) {
            CFakeMeter fake(table, bPromiscuous);
            for (const auto& [szSource, szDest, eDirection] : cases) {
                SCOPED_TRACE(testing::Message()
                             << bMany << bPromiscuous << " " << szSource << " " << szDest);
                const bool bIPv6 = std::strchr(szSource, ':') != nullptr;
                const E eBySource = eDirection == E::Forwarded ? E::Received : eDirection;
                CraftedPacket packet(14, bIPv6 ? ENetworkProtocol::IPv6 : ENetworkProtocol::IPv4,
                                     100, 100, szSource, szDest);
                fake.ExpectCounted(packet, bPromiscuous ? eBySource : eDirection);
                packet.header.caplen = bIPv6 ? 14 + 39 : 33;
                fake.ExpectCounted(packet, eBySource);
                if (!bIPv6) {
                    packet.header.caplen = 100;
                    packet.info.eNetworkProtocol = ENetworkProtocol::Other;
                    fake.ExpectCounted(packet, eBySource);
                }
            }
        }
    }
}

// The host's addresses as a capture thread finds them at a batch's start: swapped between batches.
struct CSwappedLookup final : IAddressLookup {
    const CAddressTable& GetAddressTable() const override { return *pTable; }
    const CAddressTable* pTable = nullptr;
};

// A TCP or UDP packet of nWire bytes between the addresses and the ports given.
std::unique_ptr<CraftedPacket> MakeFlowPacket(const char* szSource, const char* szDest,
                                              uint16_t nPorts, uint32_t nWire,
                                              uint8_t nProtocol = 6) {
    const bool bIPv6 = std::strchr(szSource, ':') != nullptr;
    auto pPacket =
        std::make_unique<CraftedPacket>(14, bIPv6 ? ENetworkProtocol::IPv6 : ENetworkProtocol::IPv4,
                                        nWire, std::min(nWire, 96u), szSource, szDest);
    uint8_t* pNetwork = pPacket->pBytes.get() + 14;
    pNetwork[bIPv6 ? 6 : 9] = nProtocol;
    if (!bIPv6) {
        pNetwork[6] = pNetwork[7] = 0;
    }
    std::memcpy(pNetwork + (bIPv6 ? 40 : 20), &nPorts, sizeof nPorts);
    return pPacket;
}

std::tuple<int64_t, int64_t, int64_t, int64_t> Counts(const COrvekMeter& meter) {
    const MeterSnapshot snapshot = meter.GetSnapshot();
    const DeviceSnapshot& device = snapshot.devices.at(0);
    return {device.nSentBytes, device.nRecvBytes, device.nSentPackets, device.nRecvPackets};
}

// A packet of the flow that came last in its direction counts as that one did, without a look-up;
// mixed in one batch (flows interleaved both ways, IPv4 and IPv6, options, a later fragment,
// packets merged by offloads, forwarded ones), packets count exactly what each counts in a batch
// of its own. A batch's end forgets the flows: with the host's addresses changed, the same packet
// counts the other way.
TEST(MeterCount, RepeatedFlowsCountAsAloneAndFollowAddressChanges) {
    std::vector<std::unique_ptr<CraftedPacket>> packets;
    const auto add = [&](int nTimes, const char* szSource, const char* szDest, uint16_t nPorts,
                         uint32_t nWire, uint8_t nProtocol = 6, size_t nAt = 0, uint8_t nByte = 0) {
        for (int n = 0; n < nTimes; ++n) {
            packets.push_back(MakeFlowPacket(szSource, szDest, nPorts, nWire, nProtocol));
            if (nAt != 0) {
                packets.back()->pBytes[nAt] = nByte;
            }
        }
    };
    add(3, "10.1.0.5", "192.0.2.1", 1, 1000);
    add(2, "192.0.2.1", "10.1.0.5", 1, 60);
    add(2, "10.1.0.5", "192.0.2.1", 1, 6000); // merged: counted as segments
    add(1, "10.1.0.5", "192.0.2.1", 1, 1000);
    add(2, "10.1.0.5", "192.0.2.1", 2, 300, 17);
    add(2, "fd01::5", "2001:db8::1", 3, 1200);
    add(3, "2001:db8::1", "fd01::5", 3, 80);
    add(2, "fd01::5", "2001:db8::1", 3, 6000);
    add(2, "10.2.0.7", "192.0.2.1", 1, 1000);                 // forwarded
    add(2, "10.1.0.5", "192.0.2.1", 1, 500, 6, 14, 0x46);     // options
    add(2, "10.1.0.5", "192.0.2.1", 1, 400, 6, 14 + 7, 0x20); // a later fragment
    add(2, "10.1.0.5", "192.0.2.1", 1, 1000);

    const CAddressTable host = MakeHostTable(false);
    CSwappedLookup lookup;
    lookup.pTable = &host;
    CFakeMeter alone(lookup), batched(lookup);
    for (auto& pPacket : packets) {
        alone.Deliver(*pPacket);
        batched.pDevice->AnalyzePacket(&pPacket->info);
    }
    batched.pDevice->OnPacketsDelivered();
    EXPECT_EQ(Counts(batched.meter), Counts(alone.meter));

    // The same upload, twice in a batch; then the host is the other end.
    CAddressTable other;
    other.AddIPv4(inet_addr("192.0.2.1"));
    other.Seal();
    auto pUpload = MakeFlowPacket("10.1.0.5", "192.0.2.1", 9, 100);
    const auto [nSent, nRecv, nSentPackets, nRecvPackets] = Counts(batched.meter);
    batched.pDevice->AnalyzePacket(&pUpload->info);
    batched.pDevice->AnalyzePacket(&pUpload->info);
    batched.pDevice->OnPacketsDelivered();
    lookup.pTable = &other;
    batched.pDevice->AnalyzePacket(&pUpload->info);
    batched.pDevice->AnalyzePacket(&pUpload->info);
    batched.pDevice->OnPacketsDelivered();
    EXPECT_EQ(Counts(batched.meter),
              std::make_tuple(nSent + 2 * 86, nRecv + 2 * 86, nSentPackets + 2, nRecvPackets + 2));
}

// Capture threads against this thread, which serves the view all the while. First four threads,
// each with its own device: nothing lost, the last total shown. Then short bursts from one thread:
// the first packet starts an update, the second comes up to 20 us later (spread over the bursts),
// so that some land while the update is being released. Once a burst is counted and the view has
// run what was posted, the shown totals are the burst's: a release that lost the wake-up of a
// packet counted during it would leave them one update short for good. Never two updates pending.
TEST(MeterDisplay, EveryCountEndsShownWhileCaptureThreadsRaceTheView) {
    const CAddressTable table = MakeHostTable(false);
    CFakeMeter fake(table);
    // Runs fn on a capture thread and serves the view until it has returned and after.
    const auto serveDuring = [&](const std::function<void()>& fn) {
        std::atomic<bool> bDone{false};
        std::jthread capture([&] {
            fn();
            bDone.store(true);
        });
        while (!bDone.load()) {
            fake.view.Serve();
            // Lets a capture thread that waits to post take the view's lock: retaken at once, a
            // lock that is not fair can starve it for minutes on a loaded machine.
            std::this_thread::yield();
        }
        capture.join();
        fake.view.Serve();
    };
    constexpr int kThreads = 4, kPackets = 200000;
    serveDuring([&] {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            IPacketAnalyzer* pDevice = &Announce(fake.meter, ("eth" + std::to_string(t)).c_str());
            threads.emplace_back([pDevice] {
                CraftedPacket packet(14, ENetworkProtocol::IPv4, 1514, 54, "10.1.0.5");
                for (int i = 0; i < kPackets; ++i) {
                    pDevice->AnalyzePacket(&packet.info);
                    pDevice->OnPacketsDelivered();
                }
            });
        }
    });
    constexpr int64_t nSent = int64_t{kThreads} * kPackets * 1500;
    EXPECT_EQ(fake.meter.GetSentBytes(), nSent);
    EXPECT_EQ(fake.view.GetShown(), Texts(" Recv  0.000 Mb", FormatSentCounter(nSent)));

    CraftedPacket packet(14, ENetworkProtocol::IPv4, 114, 54);
    for (int nBurst = 1; nBurst <= 12000; ++nBurst) {
        serveDuring([&] {
            fake.Deliver(packet);
            const auto until = std::chrono::steady_clock::now() +
                               std::chrono::nanoseconds(nBurst * 7919 % 200 * 100);
            while (std::chrono::steady_clock::now() < until) {
            }
            fake.Deliver(packet);
        });
        ASSERT_EQ(fake.view.GetShown().first, FormatRecvCounter(nBurst * 200))
            << "burst " << nBurst;
    }
    EXPECT_FALSE(fake.view.SawDoublePending());
}

// A device no listing shows is "gone", and forgotten once gone for the expiry: totals keep its
// bytes, and if it comes back it counts from zero. One listed again, or opened, is not gone.
TEST(MeterSnapshot, GoneDevicesAreForgottenAfterTheExpiryAndReturnFromZero) {
    const CAddressTable table;
    CFakeMeter fake(table, true);
    COrvekMeter& meter = fake.meter;
    meter.SetGoneExpiry(std::chrono::hours(1));
    CraftedPacket packet(14, ENetworkProtocol::IPv4, 114, 114);
    for (const char* szDevice : {"veth1", "veth2"}) {
        Announce(meter, szDevice).AnalyzePacket(&packet.info);
    }
    fake.control.SetDeviceStates({{"veth2", "virtual", EDeviceState::Capturing, ""}});
    uint64_t nCounterId = 0;
    const auto stateOf = [&](const char* szDevice) {
        const MeterSnapshot snapshot = meter.GetSnapshot();
        EXPECT_EQ(snapshot.nRecvBytes, 200);
        const auto it = std::ranges::find(snapshot.devices, szDevice, &DeviceSnapshot::strName);
        nCounterId = it == snapshot.devices.end() ? 0 : it->nCounterId;
        return it == snapshot.devices.end()
                   ? std::string("forgotten")
                   : DescribeDeviceState(*it) + " " + std::to_string(it->nRecvBytes);
    };
    EXPECT_EQ(stateOf("veth1"), "gone 100");
    EXPECT_EQ(stateOf("veth1"), "gone 100"); // an hour has not passed
    meter.SetGoneExpiry({});
    Announce(meter, "veth1"); // opened again: not gone
    EXPECT_EQ(stateOf("veth1"), "gone 100");
    const uint64_t nGoneId = nCounterId;
    EXPECT_EQ(stateOf("veth1"), "forgotten");
    EXPECT_EQ(meter.GetRecvBytes(), 200);
    EXPECT_EQ(stateOf("veth2"), "capturing 100");
    Announce(meter, "veth1").AnalyzePacket(&packet.info);
    EXPECT_EQ(meter.GetRecvBytes(), 300);
    const MeterSnapshot back = meter.GetSnapshot();
    EXPECT_EQ(back.nRecvBytes, 300);
    // Back with counters of its own, which a usage recorder must not take for the old ones.
    EXPECT_NE(std::ranges::find(back.devices, "veth1", &DeviceSnapshot::strName)->nCounterId,
              nGoneId);
}

// Tunnels as the capture control announces them: their packets count apart from the totals, as
// their device's inner bytes, beside what a device counted before it was named a tunnel. Their
// outer flows are known by protocol, port and peer, unless another tunnel's look alike (one
// protocol and port, a peer not told apart) or no port is told.
TEST(MeterSnapshot, TunnelsCountApartAndOuterFlowsAlikeAreUnknown) {
    const CAddressTable table;
    CFakeMeter fake(table, true);
    COrvekMeter& meter = fake.meter;
    CraftedPacket packet(14, ENetworkProtocol::IPv4, 114, 114);
    const auto outer = [](uint16_t nPort, uint8_t nFamily, uint8_t nPeer,
                          uint8_t nProtocol = IPPROTO_UDP) {
        OuterFlow flow{nPort, nFamily, {}, nProtocol};
        flow.aRemote[0] = nPeer;
        return flow;
    };
    Announce(meter, "vx1").AnalyzePacket(&packet.info); // counted before it was a tunnel
    const std::pair<const char*, OuterFlow> tunnels[] = {
        {"vx1", outer(4789, 4, 10)}, {"vx2", outer(4789, 4, 11)},
        {"vx3", outer(8472, 0, 0)},  {"vx4", outer(8472, 4, 12)},
        {"gre1", outer(0, 0, 0)},    {"tun1", outer(4789, 4, 10, IPPROTO_TCP)}};
    std::vector<DeviceState> states;
    for (const auto& [szName, flow] : tunnels) {
        Announce(meter, szName, true, flow).AnalyzePacket(&packet.info);
        states.push_back({szName, "tunnel", EDeviceState::Carried, "eth0"});
    }
    fake.control.SetDeviceStates(states);
    const MeterSnapshot snapshot = meter.GetSnapshot();
    EXPECT_EQ(snapshot.nRecvBytes, 100);
    std::string strShown;
    for (const DeviceSnapshot& device : snapshot.devices) {
        strShown += device.strName + " " + DescribeDeviceState(device) + " " +
                    std::to_string(device.nRecvBytes) + "+" +
                    std::to_string(device.nInnerRecvBytes) + (device.bOuterKnown ? " known" : "") +
                    "\n";
    }
    EXPECT_EQ(strShown, "vx1 carried inside eth0 100+100 known\n"
                        "vx2 carried inside eth0 0+100 known\n"
                        "vx3 carried inside eth0 0+100\n"
                        "vx4 carried inside eth0 0+100\n"
                        "gre1 carried inside eth0 0+100\n"
                        "tun1 carried inside eth0 0+100 known\n"
                        "eth0 gone 0+0\n");
}

// A counting backend whose counters the test sets; it notes the devices it was told are listed.
class CFakeCounting final : public ICountingBackend {
public:
    ByteTotals GetTotals() const override { return reading.totals; }
    CountsReading ReadCounts(const std::vector<ListedDevice>& vecListed) override {
        for (const ListedDevice& device : vecListed) {
            strListed += device.strName + " " + device.strKind + "\n";
        }
        return reading;
    }
    CountsReading reading;
    std::string strListed;
};

// Another backend's counters make the totals and the snapshot, whatever the capture's own
// counted: listed devices carry its counters, the devices it counted that are not listed are
// gone with their last kind and not countable, totals include its forgotten devices' bytes, the
// display shows them when it tells that counts moved, and the application rows add up to them.
TEST(MeterBackend, TotalsAndSnapshotAreTheBackendsCounters) {
    const CAddressTable table;
    CFakeView view;
    CFakeControl control;
    CFakeCounting counting;
    COrvekMeter meter(view, table, control, counting);
    meter.SetCaptureSettings("", true);
    CraftedPacket packet(14, ENetworkProtocol::IPv4, 114, 114);
    Announce(meter, "eth0").AnalyzePacket(&packet.info); // the capture's own: not read
    control.SetDeviceStates({{"eth0", "Ethernet", EDeviceState::Capturing, ""},
                             {"wlan0", "Wi-Fi", EDeviceState::Down, ""}});
    counting.reading.totals = {1000 + 7, 3000 + 9}; // 7 and 9 from forgotten devices
    counting.reading.devices = {{"eth0", "", 41, 900, 2500, 9, 25, 3},
                                {"vx9", "tunnel", 42, 100, 500, 1, 5, 0, 80, 400, 1, 5}};
    meter.GetCountsListener().OnCountsMoved();
    view.Serve();
    EXPECT_EQ(view.GetShown(), Texts(FormatRecvCounter(3009), FormatSentCounter(1007)));

    const MeterSnapshot snapshot = meter.GetSnapshot();
    EXPECT_EQ(counting.strListed, "eth0 Ethernet\nwlan0 Wi-Fi\n");
    EXPECT_EQ(std::make_pair(snapshot.nSentBytes, snapshot.nRecvBytes),
              std::make_pair(int64_t{1007}, int64_t{3009}));
    std::vector<DeviceSnapshot> expected(3);
    expected[0] = {"eth0", EDeviceState::Capturing, true, 900, 2500, 9, 25, 3, "Ethernet", true, 41};
    expected[1] = {"wlan0", EDeviceState::Down, false, 0, 0, 0, 0, 0, "Wi-Fi", true, 0};
    expected[2] = {"vx9", EDeviceState::Gone, false, 100, 500, 1, 5, 0, "tunnel", false, 42};
    expected[2].nInnerSentBytes = 80;
    expected[2].nInnerRecvBytes = 400;
    expected[2].nInnerSentPackets = 1;
    expected[2].nInnerRecvPackets = 5;
    EXPECT_EQ(snapshot.devices, expected);
    int64_t nAppSent = 0, nAppRecv = 0;
    for (const AppUsage& row : snapshot.apps) {
        nAppSent += row.nSentBytes;
        nAppRecv += row.nRecvBytes;
    }
    EXPECT_EQ(std::make_pair(nAppSent, nAppRecv), std::make_pair(int64_t{1007}, int64_t{3009}));
}

// A tunnel's outer flow goes with the counters it was opened on: a tunnel forgotten and opened
// again before the snapshot that forgot it tells the book stays measured.
TEST(MeterBackend, TunnelsOuterFlowsGoWithTheirCounters) {
    CAppResolver resolver;
    CTunnelBook tunnels(resolver);
    const auto isKnown = [&] {
        std::vector<DeviceSnapshot> devices(1);
        devices[0].strName = "vx1";
        tunnels.FillOuter(devices, {});
        return devices[0].bOuterKnown;
    };
    tunnels.NoteOpened("vx1", 1, OuterFlow{4789});
    tunnels.NoteOpened("vx1", 2, OuterFlow{4789});
    tunnels.Forget({{"vx1", "", 1}});
    EXPECT_TRUE(isKnown());
    tunnels.Forget({{"vx1", "", 2}});
    EXPECT_FALSE(isKnown());
}

// A described failure is shown under the exception caption, one without a text is not; whatever
// a button handler catches is shown too (each kind's text: DescribeError, CurrentError).
TEST(MeterException, ShowsDescribedFailuresAndWhatAHandlerCaught) {
    const CAddressTable table;
    CFakeMeter fake(table);
    fake.meter.OnException(CZarnException(EPERM));
    fake.meter.OnException(CZarnException(0, "syntax error"));
    try {
        throw std::runtime_error("no thread");
    } catch (...) {
        fake.meter.OnCurrentException();
    }
    EXPECT_EQ(fake.view.GetMessages(),
              std::vector<Texts>({{"syntax error", "Exception"}, {"no thread", "Exception"}}));
}

} // namespace
