#include "AddressChange.h"
#include "LinkLayer.h"
#include "NetNs.h"
#include "ZarnException.h"
#include "ZarnLock.h"
#include "ZarnThread.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <linux/rtnetlink.h>
#include <memory>
#include <pcap/dlt.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;
using P = ENetworkProtocol;

Bytes operator+(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// Exactly nLength bytes on the heap, so that a sanitizer sees any read beyond. copy_n, not
// memcpy: an empty vector's data() may be null.
std::unique_ptr<uint8_t[]> OnHeap(const Bytes& bytes, size_t nLength) {
    auto pCopy = std::make_unique<uint8_t[]>(nLength);
    std::copy_n(bytes.begin(), std::min(nLength, bytes.size()), pCopy.get());
    return pCopy;
}

TEST(ZarnException, BothFormsAndCopies) {
    const CZarnException osError(ENOMEM);
    EXPECT_EQ(osError.GetCode(), ENOMEM);
    EXPECT_FALSE(osError.HasDescription());
    EXPECT_STREQ(osError.GetDescription(), "");
    // The form decides, not the content: a null text is still a description, read as empty.
    EXPECT_TRUE(CZarnException(0, nullptr).HasDescription());
    EXPECT_STREQ(CZarnException(0, nullptr).GetDescription(), "");
    auto pOriginal = std::make_unique<CZarnException>(-3, "no such device");
    CZarnException copy(*pOriginal), assigned(1);
    assigned = *pOriginal;
    pOriginal.reset();
    EXPECT_EQ(copy.GetCode(), -3);
    EXPECT_EQ(assigned.GetCode(), -3);
    EXPECT_STREQ(copy.GetDescription(), "no such device");
    EXPECT_STREQ(assigned.GetDescription(), "no such device");
}

TEST(ZarnLock, RecursiveAndReleasedByScopeOnException) {
    CZarnLock lock;
    std::future<void> waiter;
    try {
        CZarnScopedLock outer(&lock);
        lock.Lock();
        lock.Unlock(); // taken twice, released once: still held
        waiter = std::async(std::launch::async, [&] { CZarnScopedLock scoped(&lock); });
        EXPECT_EQ(waiter.wait_for(50ms), std::future_status::timeout);
        throw 1;
    } catch (int) {
    }
    EXPECT_EQ(waiter.wait_for(20s), std::future_status::ready);
}

// Runs until stopped, counting runs and stop requests.
struct CCountingExecutable : IExecutable {
    void Run() override {
        m_nRuns.fetch_add(1);
        while (m_nStops.load() == 0) {
            std::this_thread::sleep_for(1ms);
        }
    }
    void Stop() override { m_nStops.fetch_add(1); }
    std::atomic<int> m_nRuns{0}, m_nStops{0};
    CZarnThread m_thread; // stopped before destruction
};

TEST(ZarnThread, StopJoinsOnceAndFailedStartHoldsNothing) {
    CCountingExecutable executable;
    executable.m_thread.Stop();
    executable.m_thread.Start(&executable);
    executable.m_thread.Stop(); // asks, then joins: Run has returned
    executable.m_thread.Stop();
    EXPECT_EQ(executable.m_nStops.load(), 1); // none for an empty holder
    EXPECT_FALSE(executable.m_thread.IsHeld());

    // Thread creation fails in a child whose address space has no room for another stack: the OS
    // error form (EAGAIN, or ENOMEM), nothing held.
    const auto startStarved = [] {
        CCountingExecutable failing;
        orvektest::StarveThreadCreation(64, 512 << 10);
        try {
            failing.m_thread.Start(&failing);
        } catch (const CZarnException& e) {
            const bool bWrong = failing.m_thread.IsHeld() || e.HasDescription();
            _exit(bWrong ? 1 : e.GetCode() == ENOMEM ? EAGAIN : e.GetCode());
        }
        _exit(1);
    };
    EXPECT_EXIT(startStarved(), testing::ExitedWithCode(EAGAIN), "");
}

TEST(ParseLinkHeader, KnownHeadersAtEveryCapLength) {
    const Bytes macs(12, 0x11), pppoe = {0x11, 0x00, 0x12, 0x34, 0x00, 0x40};
    const auto Type = [](uint16_t n) { return Bytes{uint8_t(n >> 8), uint8_t(n)}; };
    const auto tag = [&](uint16_t nTpid) { return Type(nTpid) + Bytes{0x00, 0x07}; };
    // Link type, exactly the bytes a verdict needs, header length, protocol, bytes from which on
    // the protocol is known (-1: all).
    const std::tuple<int, Bytes, uint32_t, P, int> samples[] = {
        {DLT_EN10MB, macs + Type(0x0800), 14, P::IPv4, -1},
        {DLT_EN10MB, macs + tag(0x88A8) + tag(0x8100) + Type(0x86DD), 22, P::IPv6, -1},
        {DLT_EN10MB, macs + tag(0x9100) + Type(0x8864) + pppoe + Type(0x0057), 26, P::IPv6, -1},
        {DLT_RAW, {0x45}, 0, P::IPv4, -1},
        {101, {0x60}, 0, P::IPv6, -1},
        {DLT_IPV4, {0x45}, 0, P::IPv4, 0},
        {DLT_LINUX_SLL, Bytes(14, 0x22) + Type(0x0040), 16, P::Other, -1},
        {DLT_LINUX_SLL2, Type(0x86DD) + Bytes(18, 0x22), 20, P::IPv6, 2},
        {DLT_NULL, {2, 0, 0, 0}, 4, P::IPv4, -1},
        {DLT_LOOP, {0, 0, 0, 24}, 4, P::IPv6, -1},
        {DLT_PPP, {0x00, 0x57}, 2, P::IPv6, -1},
        {DLT_PPP_SERIAL, {0xFF, 0x03, 0xC0, 0x21}, 4, P::Other, -1},
        {DLT_PPP_ETHER, pppoe + Type(0x0021), 8, P::IPv4, -1},
        {9999, Bytes(20, 0x45), 14, P::Other, 0},
    };
    for (const auto& [nLinkType, bytes, nHeaderLength, eProtocol, nNeeded] : samples) {
        const uint32_t nSize = static_cast<uint32_t>(bytes.size());
        for (uint32_t nCapLen = 0; nCapLen <= nSize; ++nCapLen) {
            SCOPED_TRACE(testing::Message() << nLinkType << " " << nSize << " caplen " << nCapLen);
            const LinkVerdict verdict =
                ParseLinkHeader(nLinkType, OnHeap(bytes, nCapLen).get(), nCapLen);
            EXPECT_EQ(verdict.eProtocol,
                      nCapLen >= (nNeeded < 0 ? nSize : uint32_t(nNeeded)) ? eProtocol : P::Other);
            EXPECT_TRUE(nCapLen < nSize || verdict.nHeaderLength == nHeaderLength);
        }
    }
}

// One rtnetlink message: header, family record, one attribute.
Bytes Message(uint16_t nType, uint16_t nAttribute = IFLA_MTU) {
    const nlmsghdr header{NLMSG_SPACE(sizeof(ifinfomsg)) + RTA_SPACE(4), nType, 0, 0, 0};
    const rtattr attribute{RTA_LENGTH(4), nAttribute};
    Bytes message(header.nlmsg_len, 0);
    std::memcpy(message.data(), &header, sizeof header);
    std::memcpy(message.data() + NLMSG_SPACE(sizeof(ifinfomsg)), &attribute, sizeof attribute);
    return message;
}

bool Check(const Bytes& buffer, size_t nLength) {
    return IsAddressChange(OnHeap(buffer, nLength).get(), nLength);
}

TEST(IsAddressChange, CountsAllButWirelessAndSurvivesGarbage) {
    const Bytes wireless = Message(RTM_NEWLINK, IFLA_WIRELESS);
    const std::pair<Bytes, bool> cases[] = {
        {Message(RTM_NEWLINK), true},
        {wireless + Message(RTM_NEWROUTE), false},
        {wireless + Message(RTM_DELADDR), true},
    };
    for (const auto& [buffer, bChange] : cases) {
        EXPECT_EQ(Check(buffer, buffer.size()), bChange) << &buffer - &cases[0].first;
    }
    // Every truncation; message and attribute lengths that lie (zero, short, past the end, huge).
    const Bytes stream = wireless + Message(RTM_NEWROUTE) + Message(RTM_NEWADDR);
    for (size_t nLength = 0; nLength <= stream.size(); ++nLength) {
        Check(stream, nLength);
    }
    for (const uint32_t nLie : {0u, 1u, 15u, 17u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
        for (const size_t nAt : {size_t{0}, NLMSG_SPACE(sizeof(ifinfomsg)), wireless.size()}) {
            const bool bAttribute = nAt == NLMSG_SPACE(sizeof(ifinfomsg));
            Bytes lying = stream;
            std::memcpy(lying.data() + nAt, &nLie, bAttribute ? 2 : 4);
            // A message length that cannot be right counts: better a needless refresh.
            EXPECT_TRUE(Check(lying, lying.size()) || bAttribute || nLie == 17u) << nAt;
        }
    }
}

} // namespace
