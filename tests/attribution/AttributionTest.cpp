#include "AppResolver.h"
#include "Cgroups.h"
#include "FlowTap.h"
#include "Processes.h"
#include "SockDiag.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pcap/pcap.h>

#include <cstring>
#include <memory>
#include <thread>
#include <tuple>

namespace {

// An Ethernet frame of nWire bytes carrying IPv4 or IPv6 with the protocol and ports given;
// nExtension IPv6 destination-options headers (8 bytes each) stand before the transport header.
std::vector<uint8_t> MakeFrame(bool bIPv6, uint8_t nProtocol, const char* szSource,
                               const char* szDest, uint16_t nSourcePort, uint16_t nDestPort,
                               int nExtension = 0) {
    std::vector<uint8_t> frame(14 + 40 + 8 * nExtension + 8, 0);
    uint8_t* pNetwork = frame.data() + 14;
    size_t nTransport = 20;
    if (bIPv6) {
        pNetwork[0] = 0x60;
        pNetwork[6] = nExtension > 0 ? 60 : nProtocol;
        inet_pton(AF_INET6, szSource, pNetwork + 8);
        inet_pton(AF_INET6, szDest, pNetwork + 24);
        nTransport = 40;
        for (int n = 0; n < nExtension; ++n, nTransport += 8) {
            pNetwork[nTransport] = n + 1 < nExtension ? 60 : nProtocol;
        }
    } else {
        pNetwork[0] = 0x45;
        pNetwork[9] = nProtocol;
        inet_pton(AF_INET, szSource, pNetwork + 12);
        inet_pton(AF_INET, szDest, pNetwork + 16);
    }
    pNetwork[nTransport] = static_cast<uint8_t>(nSourcePort >> 8);
    pNetwork[nTransport + 1] = static_cast<uint8_t>(nSourcePort);
    pNetwork[nTransport + 2] = static_cast<uint8_t>(nDestPort >> 8);
    pNetwork[nTransport + 3] = static_cast<uint8_t>(nDestPort);
    return frame;
}

// A frame captured to nCaptured bytes, held in exactly as many, so that the sanitizers see any
// read past them.
struct Captured {
    pcap_pkthdr header{};
    PacketInfo info{};
    std::unique_ptr<uint8_t[]> pBytes;
    Captured(const std::vector<uint8_t>& frame, uint32_t nCaptured, bool bIPv6)
        : pBytes(std::make_unique<uint8_t[]>(nCaptured)) {
        std::memcpy(pBytes.get(), frame.data(), nCaptured);
        header.caplen = nCaptured;
        header.len = static_cast<uint32_t>(frame.size());
        info = {&header, pBytes.get(), 14, bIPv6 ? ENetworkProtocol::IPv6 : ENetworkProtocol::IPv4};
    }
};

FlowKey ReadKey(const std::vector<uint8_t>& frame, bool bIPv6, bool bSent, EFlowRead eExpected,
                uint32_t nCaptured = 0) {
    Captured captured(frame, nCaptured != 0 ? nCaptured : static_cast<uint32_t>(frame.size()),
                      bIPv6);
    FlowKey key;
    EXPECT_EQ(ReadFlow(captured.info, bSent, key), eExpected);
    return key;
}

std::array<uint8_t, 16> Address(const char* szText) {
    std::array<uint8_t, 16> aAddress{};
    inet_pton(strchr(szText, ':') != nullptr ? AF_INET6 : AF_INET, szText, aAddress.data());
    return aAddress;
}

} // namespace

TEST(FlowRead, LocalEndFollowsTheDirectionWhateverTheHeaders) {
    // Sent: the source is local; received: the destination is. IPv4, IPv6, and IPv6 behind
    // extension headers all read the same flow.
    const FlowKey sent = ReadKey(MakeFrame(false, 6, "10.0.0.1", "10.0.0.2", 40000, 443), false,
                                 true, EFlowRead::Flow);
    EXPECT_EQ(sent.aLocal, Address("10.0.0.1"));
    EXPECT_EQ(sent.aRemote, Address("10.0.0.2"));
    EXPECT_EQ(sent.nLocalPort, 40000);
    EXPECT_EQ(sent.nRemotePort, 443);
    EXPECT_EQ(sent.nProtocol, 6);
    const FlowKey received = ReadKey(MakeFrame(false, 6, "10.0.0.2", "10.0.0.1", 443, 40000), false,
                                     false, EFlowRead::Flow);
    EXPECT_EQ(received, sent);
    const FlowKey v6 =
        ReadKey(MakeFrame(true, 17, "fd00::2", "fd00::1", 53, 5353), true, false, EFlowRead::Flow);
    const FlowKey v6Extended = ReadKey(MakeFrame(true, 17, "fd00::2", "fd00::1", 53, 5353, 3), true,
                                       false, EFlowRead::Flow);
    EXPECT_EQ(v6, v6Extended);
    EXPECT_EQ(v6.aLocal, Address("fd00::1"));
    EXPECT_EQ(v6.nLocalPort, 5353);
    EXPECT_TRUE(v6.IsIPv6());
}

TEST(FlowRead, PacketsWithoutPortsSayWhy) {
    ReadKey(MakeFrame(false, 1, "10.0.0.1", "10.0.0.2", 0, 0), false, true,
            EFlowRead::NotTcpUdp); // ICMP
    ReadKey(MakeFrame(true, 58, "fd00::1", "fd00::2", 0, 0), true, true, EFlowRead::NotTcpUdp);
    auto fragment = MakeFrame(false, 17, "10.0.0.1", "10.0.0.2", 1, 2);
    fragment[14 + 7] = 0x10; // offset 16: a later fragment
    ReadKey(fragment, false, true, EFlowRead::Fragment);
    // Ports beyond the captured bytes, and an IPv4 header claiming options it does not hold.
    ReadKey(MakeFrame(true, 6, "fd00::1", "fd00::2", 1, 2, 8), true, true, EFlowRead::HeadersCut,
            96);
    auto options = MakeFrame(false, 6, "10.0.0.1", "10.0.0.2", 1, 2);
    options[14] = 0x4F;
    ReadKey(options, false, true, EFlowRead::HeadersCut);
    // Captured shorter than the link header, or than the IPv4 header (the sanitizers watch).
    ReadKey(MakeFrame(false, 6, "10.0.0.1", "10.0.0.2", 1, 2), false, true, EFlowRead::HeadersCut,
            10);
    ReadKey(MakeFrame(false, 6, "10.0.0.1", "10.0.0.2", 1, 2), false, true, EFlowRead::HeadersCut,
            30);
    // An endless chain of extension headers reads as no flow, not as a hang.
    ReadKey(MakeFrame(true, 6, "fd00::1", "fd00::2", 1, 2, 12), true, true, EFlowRead::NotTcpUdp);
}

TEST(FlowTable, EveryByteLandsInAFlowOrAReasonAndHandOverAlternates) {
    constexpr int64_t kPause = CFlowTap::kHandOverPauseNs;
    CFlowTap tap;
    int64_t nAdded = 0;
    // More flows than a table holds: the rest count as TableFull, none is lost.
    for (uint32_t n = 0; n < CFlowTable::kMaxFlows + 100; ++n) {
        auto frame = MakeFrame(false, 6, "10.0.0.1", "10.0.0.2", static_cast<uint16_t>(n + 1), 80);
        Captured captured(frame, static_cast<uint32_t>(frame.size()), false);
        tap.Add(captured.info, true, 100);
        tap.Add(captured.info, true, 100); // the same flow again
        nAdded += 200;
    }
    auto icmp = MakeFrame(false, 1, "10.0.0.2", "10.0.0.1", 0, 0);
    Captured captured(icmp, static_cast<uint32_t>(icmp.size()), false);
    tap.Add(captured.info, false, 7);
    EXPECT_EQ(tap.Take(), nullptr);
    ASSERT_TRUE(tap.HandOver(kPause));
    const CFlowTable* pTable = tap.Take();
    ASSERT_NE(pTable, nullptr);
    EXPECT_EQ(pTable->GetFlowCount(), CFlowTable::kMaxFlows);
    int64_t nSent = pTable->GetUnattributed(EUnattributed::TableFull, true);
    EXPECT_EQ(nSent, 100 * 200);
    for (size_t n = 0; n < pTable->GetFlowCount(); ++n) {
        EXPECT_EQ(pTable->GetFlow(n).nSentBytes, 200);
        nSent += pTable->GetFlow(n).nSentBytes;
    }
    EXPECT_EQ(nSent, nAdded);
    EXPECT_EQ(pTable->GetUnattributed(EUnattributed::NotTcpUdp, false), 7);

    // While the resolver holds a table, the capture thread keeps filling its own; it hands it over
    // once the resolver gave the other back and the pause passed.
    tap.Add(captured.info, false, 5);
    EXPECT_FALSE(tap.HandOver(3 * kPause));
    tap.GiveBack();
    EXPECT_FALSE(tap.HandOver(2 * kPause - 1));
    EXPECT_TRUE(tap.HandOver(2 * kPause));
    EXPECT_EQ(tap.Take()->GetUnattributed(EUnattributed::NotTcpUdp, false), 5);
    EXPECT_EQ(tap.Take()->GetFlowCount(), 0U);
    tap.GiveBack();
    EXPECT_FALSE(tap.HandOver(9 * kPause)); // nothing new to hand over
    // A table half full goes at once.
    for (uint32_t n = 0; n < CFlowTable::kMaxFlows / 2; ++n) {
        auto frame = MakeFrame(true, 17, "fd00::1", "fd00::2", static_cast<uint16_t>(n + 1), 53);
        Captured flow(frame, static_cast<uint32_t>(frame.size()), true);
        tap.Add(flow.info, true, 1);
    }
    EXPECT_TRUE(tap.HandOver(2 * kPause + 1));
    EXPECT_EQ(tap.Take()->GetFlowCount(), CFlowTable::kMaxFlows / 2);
}

// Packets of a few flows interleaved, both ways, as a capture thread gives them (a repeat of the
// last flow of its direction, else Add): each flow's bytes in its own slot whatever the order,
// also across a hand-over; a packet with options or a later fragment is no other packet's flow.
TEST(FlowTable, InterleavedFlowsKeepTheirOwnBytes) {
    CFlowTap tap;
    int nRepeats = 0;
    const auto add = [&](const std::vector<uint8_t>& frame, bool bSent, int64_t nBytes) {
        Captured captured(frame, static_cast<uint32_t>(frame.size()), false);
        const CFlowTap::ERepeat eRepeat = tap.CountRepeat4(captured.info, nBytes);
        if (eRepeat == CFlowTap::ERepeat::No) {
            tap.Add(captured.info, bSent, nBytes);
        } else {
            EXPECT_EQ(eRepeat == CFlowTap::ERepeat::Sent, bSent);
            ++nRepeats;
        }
    };
    const auto out1 = MakeFrame(false, 6, "10.0.0.1", "10.0.0.9", 1000, 80);
    const auto in1 = MakeFrame(false, 6, "10.0.0.9", "10.0.0.1", 80, 1000);
    const auto out2 = MakeFrame(false, 6, "10.0.0.1", "10.0.0.9", 1001, 80);
    // IPv4 with four bytes of options: the same bytes up to offset 24, other ports after them.
    auto options1 = MakeFrame(false, 6, "10.0.0.1", "10.0.0.9", 1000, 80);
    options1[14] = 0x46;
    options1.insert(options1.begin() + 38, {0x01, 0x01, 0x01, 0x01});
    auto options2 = options1;
    options2[38] = 0x02;
    for (int n = 0; n < 3; ++n) {
        add(out1, true, 100);
        add(in1, false, 10);
        add(out2, true, 1);
        if (n == 1) {
            ASSERT_TRUE(tap.HandOver(CFlowTap::kHandOverPauseNs));
        }
    }
    add(options1, true, 7);
    add(options2, true, 5);
    add(options2, true, 5);
    auto fragment = out1; // a later fragment: what stands where ports would is data
    fragment[14 + 7] = 0x10;
    add(out1, true, 100);
    add(out1, true, 100);
    add(fragment, true, 3);
    int64_t nFlow1Sent = 0, nFlow1Recv = 0, nFlow2Sent = 0, nOptions1 = 0, nOptions2 = 0;
    for (const CFlowTable* pTable :
         {tap.Take(), static_cast<const CFlowTable*>(&tap.TakeFillingWhileStopped())}) {
        for (size_t n = 0; n < pTable->GetFlowCount(); ++n) {
            const FlowSlot& slot = pTable->GetFlow(n);
            if (slot.key.nLocalPort == 1000 && slot.key.nRemotePort == 80) {
                nFlow1Sent += slot.nSentBytes;
                nFlow1Recv += slot.nRecvBytes;
            } else if (slot.key.nLocalPort == 1001) {
                nFlow2Sent += slot.nSentBytes;
            } else {
                (slot.key.nLocalPort == 0x0101 ? nOptions1 : nOptions2) += slot.nSentBytes;
            }
        }
    }
    EXPECT_EQ(nFlow1Sent, 500);
    EXPECT_EQ(nFlow1Recv, 30);
    EXPECT_EQ(nFlow2Sent, 3);
    EXPECT_EQ(nOptions1, 7);
    EXPECT_EQ(nOptions2, 10);
    EXPECT_EQ(tap.Take()->GetUnattributed(EUnattributed::Fragment, true) +
                  tap.TakeFillingWhileStopped().GetUnattributed(EUnattributed::Fragment, true),
              3);
    // Only a flow after itself in its direction repeats: the received one between two sent ones
    // (not across the hand-over), and the last sent one.
    EXPECT_EQ(nRepeats, 2);
}

namespace {

// A socket description as the kernel sends it, with a cgroup id attribute when nCgroup is set.
std::vector<uint8_t> MakeSocketMessage(uint32_t nSeq, uint8_t nFamily, uint32_t nUid,
                                       uint32_t nInode, uint64_t nCgroup) {
    std::vector<uint8_t> bytes(sizeof(nlmsghdr) + sizeof(inet_diag_msg) + (nCgroup ? 12 : 0));
    nlmsghdr header{static_cast<uint32_t>(bytes.size()), SOCK_DIAG_BY_FAMILY, NLM_F_MULTI, nSeq, 0};
    inet_diag_msg message{};
    message.idiag_family = nFamily;
    message.idiag_state = 1;
    message.idiag_uid = nUid;
    message.idiag_inode = nInode;
    message.id.idiag_sport = htons(8080);
    message.id.idiag_dport = htons(40000);
    inet_pton(nFamily, nFamily == AF_INET ? "10.1.2.3" : "fd00::3", message.id.idiag_src);
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + sizeof header, &message, sizeof message);
    if (nCgroup != 0) {
        const nlattr attribute{12, INET_DIAG_CGROUP_ID};
        uint8_t* pAttribute = bytes.data() + sizeof header + sizeof message;
        std::memcpy(pAttribute, &attribute, sizeof attribute);
        std::memcpy(pAttribute + 4, &nCgroup, 8);
    }
    return bytes;
}

std::vector<uint8_t> MakeErrorMessage(uint32_t nSeq, int nError) {
    std::vector<uint8_t> bytes(sizeof(nlmsghdr) + sizeof(nlmsgerr));
    const nlmsghdr header{static_cast<uint32_t>(bytes.size()), NLMSG_ERROR, 0, nSeq, 0};
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + sizeof header, &nError, sizeof nError);
    return bytes;
}

} // namespace

// A TCP segment with the flags given (a full 20-byte header), or a UDP datagram.
std::vector<uint8_t> MakeSegment(bool bIPv6, uint8_t nProtocol, uint16_t nSourcePort,
                                 uint8_t nFlags) {
    std::vector<uint8_t> frame = MakeFrame(bIPv6, nProtocol, bIPv6 ? "fd00::1" : "10.0.0.1",
                                           bIPv6 ? "fd00::2" : "10.0.0.2", nSourcePort, 443);
    frame.resize(14 + (bIPv6 ? 40 : 20) + 20);
    frame[14 + (bIPv6 ? 40 : 20) + 13] = nFlags;
    return frame;
}

// Starts are queued once a flow a table: a TCP SYN either way (not a SYN-ACK), a UDP flow's
// first datagram; the capture thread's signal says so once; a full queue drops starts, never
// bytes, and takes more once emptied.
TEST(FlowStarts, SynsAndNewUdpFlowsAreQueuedOnceAndBounded) {
    CFlowTap tap;
    const auto Add = [&](const std::vector<uint8_t>& frame, bool bIPv6, bool bSent) {
        Captured captured(frame, static_cast<uint32_t>(frame.size()), bIPv6);
        tap.Add(captured.info, bSent, 60);
    };
    constexpr uint8_t kSyn = 0x02, kAck = 0x10;
    Add(MakeSegment(false, 6, 1000, kSyn), false, true);
    Add(MakeSegment(false, 6, 1000, kAck), false, true);       // the same flow: no second start
    Add(MakeSegment(false, 6, 1001, kAck), false, true);       // began before: no start
    Add(MakeSegment(true, 6, 1004, kSyn | kAck), true, false); // an answer: no start
    Add(MakeSegment(true, 6, 1002, kSyn), true, false);
    Add(MakeSegment(true, 17, 1003, 0), true, true);
    EXPECT_TRUE(tap.TakeStartSignal());
    EXPECT_FALSE(tap.TakeStartSignal());
    FlowStart start;
    std::vector<std::pair<uint16_t, bool>> starts;
    while (tap.PopStart(start)) {
        // Received: the local end is the destination.
        starts.emplace_back(start.bSent ? start.key.nLocalPort : start.key.nRemotePort,
                            start.bSent);
    }
    EXPECT_EQ(starts,
              (std::vector<std::pair<uint16_t, bool>>{{1000, true}, {1002, false}, {1003, true}}));

    // More starts than the queue holds: the first kCapacity are kept, every byte counted.
    for (uint16_t n = 0; n < CFlowStartQueue::kCapacity + 10; ++n) {
        Add(MakeSegment(false, 17, static_cast<uint16_t>(2000 + n), 0), false, true);
    }
    size_t nPopped = 0;
    while (tap.PopStart(start)) {
        EXPECT_EQ(start.key.nLocalPort, 2000 + nPopped);
        ++nPopped;
    }
    EXPECT_EQ(nPopped, CFlowStartQueue::kCapacity);
    Add(MakeSegment(false, 17, 5000, 0), false, true);
    ASSERT_TRUE(tap.PopStart(start));
    EXPECT_EQ(start.key.nLocalPort, 5000);
    ASSERT_TRUE(tap.HandOver(CFlowTap::kHandOverPauseNs));
    EXPECT_EQ(tap.Take()->GetFlowCount(), 5 + CFlowStartQueue::kCapacity + 10 + 1);
}

// One producer and one consumer at once: every start pushed is popped once, in order, whole
// (the sanitizers' stage watches the indices and entries).
TEST(FlowStarts, QueueHandsEveryStartOverInOrderAcrossThreads) {
    CFlowStartQueue queue;
    constexpr uint32_t kStarts = 200000;
    std::thread producer([&] {
        for (uint32_t n = 0; n < kStarts; ++n) {
            FlowStart start;
            std::memcpy(start.key.aLocal.data(), &n, sizeof n);
            while (!queue.Push(start)) {
                std::this_thread::yield();
            }
        }
    });
    uint32_t nNext = 0;
    FlowStart start;
    while (nNext < kStarts) {
        if (!queue.Pop(start)) {
            std::this_thread::yield();
            continue;
        }
        uint32_t nSeen = 0;
        std::memcpy(&nSeen, start.key.aLocal.data(), sizeof nSeen);
        ASSERT_EQ(nSeen, nNext++);
    }
    producer.join();
    EXPECT_FALSE(queue.Pop(start));
}

// Why bytes have no application when no socket has them: NoSocket only where the flow was not
// this host's (not its address; nothing took it when it came in first; it still talks a while
// after no socket had it); Closed where a socket of it had it and was gone when asked for.
TEST(FlowStarts, ReasonsWithoutASocketAreTrue) {
    using enum EFlowAsk;
    constexpr auto kNo = EUnattributed::NoSocket, kClosed = EUnattributed::Closed;
    for (const auto& [bHost, eAsk, eReason] :
         std::vector<std::tuple<bool, EFlowAsk, EUnattributed>>{{false, Later, kNo},
                                                                {false, AtSentStart, kNo},
                                                                {true, Later, kClosed},
                                                                {true, AtSentStart, kClosed},
                                                                {true, AtReceivedStart, kNo},
                                                                {true, Again, kNo}}) {
        EXPECT_EQ(ReasonWithoutSocket(bHost, eAsk), eReason) << bHost << int(eAsk);
    }
}

TEST(SockDiag, RepliesAreReadAndHostileBytesRefused) {
    std::vector<uint8_t> bytes = MakeSocketMessage(7, AF_INET, 1000, 4242, 0x1234567890);
    const auto second = MakeSocketMessage(8, AF_INET6, 0, 0, 0);
    const auto error = MakeErrorMessage(9, -ENOENT);
    bytes.insert(bytes.end(), second.begin(), second.end());
    bytes.insert(bytes.end(), error.begin(), error.end());
    std::vector<DiagReply> replies;
    std::string strError;
    ASSERT_TRUE(ParseDiagReplies(bytes, replies, strError)) << strError;
    ASSERT_EQ(replies.size(), 3U);
    EXPECT_EQ(replies[0].nSeq, 7U);
    EXPECT_EQ(replies[0].socket.nUid, 1000U);
    EXPECT_EQ(replies[0].socket.nInode, 4242U);
    EXPECT_TRUE(replies[0].socket.bHasCgroup);
    EXPECT_EQ(replies[0].socket.nCgroupId, 0x1234567890U);
    EXPECT_EQ(replies[0].socket.nLocalPort, 8080);
    EXPECT_EQ(replies[0].socket.aLocal, Address("10.1.2.3"));
    EXPECT_FALSE(replies[1].socket.bHasCgroup);
    EXPECT_EQ(replies[1].socket.aLocal, Address("fd00::3"));
    EXPECT_EQ(replies[2].eKind, DiagReply::EKind::Error);
    EXPECT_EQ(replies[2].nError, -ENOENT);

    // Every cut of the stream, a length that overruns, an attribute that overruns: refused or
    // read in part, never read past the end (the sanitizers watch).
    for (size_t nCut = 1; nCut < bytes.size(); ++nCut) {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(nCut));
        replies.clear();
        ParseDiagReplies(cut, replies, strError);
        EXPECT_LE(replies.size(), 3U);
    }
    auto overrun = MakeSocketMessage(1, AF_INET, 0, 1, 5);
    overrun[0] = 0xFF;
    replies.clear();
    EXPECT_FALSE(ParseDiagReplies(overrun, replies, strError));
    auto badAttribute = MakeSocketMessage(1, AF_INET, 0, 1, 5);
    badAttribute[sizeof(nlmsghdr) + sizeof(inet_diag_msg)] = 200;
    EXPECT_FALSE(ParseDiagReplies(badAttribute, replies, strError));
    auto badFamily = MakeSocketMessage(1, 99, 0, 1, 5);
    EXPECT_FALSE(ParseDiagReplies(badFamily, replies, strError));
}

TEST(SockDiag, QueriesPutTheEndsWhereEachProtocolsLookUpReadsThem) {
    SocketRecord key;
    key.nFamily = AF_INET;
    key.aLocal = Address("10.0.0.1");
    key.aRemote = Address("10.0.0.2");
    key.nLocalPort = 1111;
    key.nRemotePort = 2222;
    for (const uint8_t nProtocol : {uint8_t{IPPROTO_TCP}, uint8_t{IPPROTO_UDP}}) {
        const std::string strQuery = BuildSocketQuery(key, nProtocol, 5);
        ASSERT_EQ(strQuery.size(), sizeof(nlmsghdr) + sizeof(inet_diag_req_v2));
        inet_diag_req_v2 request;
        std::memcpy(&request, strQuery.data() + sizeof(nlmsghdr), sizeof request);
        EXPECT_EQ(request.sdiag_family, AF_INET);
        EXPECT_EQ(request.sdiag_protocol, nProtocol);
        const bool bLocalFirst = nProtocol == IPPROTO_TCP;
        EXPECT_EQ(ntohs(request.id.idiag_sport), bLocalFirst ? 1111 : 2222);
        EXPECT_EQ(ntohs(request.id.idiag_dport), bLocalFirst ? 2222 : 1111);
        EXPECT_EQ(
            std::memcmp(request.id.idiag_src, (bLocalFirst ? key.aLocal : key.aRemote).data(), 4),
            0);
    }
}

TEST(Cgroups, ApplicationsAreNamedByTheirUnitsAndScopes) {
    EXPECT_EQ(AppNameFromCgroupPath("system.slice/nginx.service"), "nginx.service");
    EXPECT_EQ(AppNameFromCgroupPath("user.slice/user-1000.slice/user@1000.service/app.slice/"
                                    "app-flatpak-org.mozilla.firefox-2981.scope"),
              "org.mozilla.firefox");
    EXPECT_EQ(AppNameFromCgroupPath("user.slice/user-1000.slice/user@1000.service/app.slice/"
                                    "app-gnome-firefox-4567.scope"),
              "firefox");
    EXPECT_EQ(AppNameFromCgroupPath("user.slice/user-1000.slice/user@1000.service/app.slice/"
                                    "app-org.gnome.Terminal@0a1b.service"),
              "org.gnome.Terminal");
    EXPECT_EQ(AppNameFromCgroupPath("docker/3f2a"), "3f2a");
    // Escaped dashes in an id are dashes; a desktop application's id says so, a group's name not.
    EAppKind eKind = EAppKind::User;
    EXPECT_EQ(
        AppNameFromCgroupPath("app.slice/app-flatpak-com.example.My\\x2dApp-77.scope", &eKind),
        "com.example.My-App");
    EXPECT_EQ(eKind, EAppKind::DesktopApp);
    EXPECT_EQ(AppNameFromCgroupPath("app-x\\x2g\\x00\\x2-1.scope", &eKind), "x\\x2g\\x00\\x2");
    EXPECT_EQ(AppNameFromCgroupPath("system.slice/nginx.service", &eKind), "nginx.service");
    EXPECT_EQ(eKind, EAppKind::Group);
    // Sessions, slices, service managers and the root name no application: their user does.
    for (const char* szPath : {"", "/", "user.slice", "user.slice/user-1000.slice/session-3.scope",
                               "user.slice/user-1000.slice/user@1000.service", "init.scope"}) {
        EXPECT_EQ(AppNameFromCgroupPath(szPath), "") << szPath;
    }
}

// /proc and cgroup files as crafted bytes: process ids, sockets of descriptors, program names.
TEST(Processes, ProcFilesAreReadStrictly) {
    bool bMore = true;
    EXPECT_EQ(ParsePidList("12\n7\nx\n-3\n0\n 5\n99999999999\n8", 10, bMore),
              (std::vector<pid_t>{12, 7, 8}));
    EXPECT_FALSE(bMore);
    EXPECT_EQ(ParsePidList("1\n2\n3\n", 2, bMore), (std::vector<pid_t>{1, 2}));
    EXPECT_TRUE(bMore);
    EXPECT_TRUE(ParsePidList("", 2, bMore).empty());

    EXPECT_EQ(ExecutableOfLink("/usr/bin/curl"), "curl");
    EXPECT_EQ(ExecutableOfLink("/opt/x y/run (deleted)"), "run");
    EXPECT_EQ(ExecutableOfLink(""), "");
    EXPECT_EQ(ExecutableOfLink("curl"), "");
    EXPECT_EQ(ExecutableOfComm("curl\n"), "curl");
    EXPECT_EQ(ExecutableOfComm(std::string("a\0b\n", 4)), "a");
}
