#include "AddressChange.h"
#include "LinkLayer.h"
#include "ZarnException.h"
#include "ZarnLock.h"
#include "ZarnThread.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <linux/rtnetlink.h>
#include <memory>
#include <pcap/dlt.h>
#include <pthread.h>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;
using P = ENetworkProtocol;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Exactly nLength bytes on the heap, so that a sanitizer sees any read beyond.
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
    // The form decides, not the content: an empty or null text is still a description.
    EXPECT_TRUE(CZarnException(0, "").HasDescription());
    EXPECT_TRUE(CZarnException(0, nullptr).HasDescription());
    auto pOriginal = std::make_unique<CZarnException>(-3, "no such device");
    const CZarnException copy(*pOriginal);
    CZarnException assigned(1);
    assigned = *pOriginal;
    pOriginal.reset();
    for (const CZarnException* pException : {&copy, const_cast<const CZarnException*>(&assigned)}) {
        EXPECT_EQ(pException->GetCode(), -3);
        EXPECT_STREQ(pException->GetDescription(), "no such device");
    }
}

TEST(ZarnLock, RecursiveAndReleasedByScopeOnException) {
    CZarnLock lock;
    const auto probe = [&] {
        return std::async(std::launch::async, [&] { CZarnScopedLock scoped(&lock); });
    };
    lock.Lock();
    lock.Lock();
    std::future<void> first = probe();
    lock.Unlock();
    EXPECT_EQ(first.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    lock.Unlock();
    EXPECT_EQ(first.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    try {
        CZarnScopedLock outer(&lock);
        CZarnScopedLock inner(&lock);
        throw std::runtime_error("leaves the scope");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(probe().wait_for(std::chrono::seconds(20)), std::future_status::ready);
}

class CCountingExecutable : public IExecutable {
public:
    virtual ~CCountingExecutable() { m_thread.Stop(); }
    void Run() override { m_nRuns.fetch_add(1); }
    void Stop() override {
        m_nStops.fetch_add(1);
        m_thread.Wait();
    }
    CZarnThread m_thread;
    std::atomic<int> m_nRuns{0};
    std::atomic<int> m_nStops{0};
};

TEST(ZarnThread, StopOfEmptyAndEndedHolderAndFailedStart) {
    CCountingExecutable executable;
    executable.m_thread.Stop();
    EXPECT_EQ(executable.m_nStops.load(), 0);
    executable.m_thread.Start(&executable);
    for (int i = 0; i < 4000 && executable.m_nRuns.load() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(executable.m_nRuns.load(), 1);
    EXPECT_TRUE(executable.m_thread.IsHeld()); // Run returned; the holder keeps the thread
    executable.m_thread.Stop();
    executable.m_thread.Stop();
    EXPECT_EQ(executable.m_nStops.load(), 1);
    EXPECT_FALSE(executable.m_thread.IsHeld());

    // Thread creation fails in a child whose address space has no room for another stack (a
    // larger default size keeps a cached one from being reused).
    const pid_t nPid = fork();
    ASSERT_GE(nPid, 0);
    if (nPid == 0) {
        CCountingExecutable failing;
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, 64 << 20);
        pthread_setattr_default_np(&attributes);
        size_t nPages = 0;
        std::ifstream("/proc/self/statm") >> nPages;
        const rlimit limit{nPages * sysconf(_SC_PAGESIZE) + (512 << 10), RLIM_INFINITY};
        int nResult = setrlimit(RLIMIT_AS, &limit) == 0 ? 1 : 2; // 1: started after all
        try {
            failing.m_thread.Start(&failing);
        } catch (const CZarnException& e) {
            // The OS error form, and nothing held.
            nResult =
                nResult == 2 || e.HasDescription() || failing.m_thread.IsHeld() ? 3 : e.GetCode();
        }
        failing.m_thread.Stop();
        _exit(failing.m_nStops.load() + failing.m_nRuns.load() != 0 ? 4 : nResult);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(nPid, &nStatus, 0), nPid);
    EXPECT_TRUE(WIFEXITED(nStatus) &&
                (WEXITSTATUS(nStatus) == EAGAIN || WEXITSTATUS(nStatus) == ENOMEM))
        << nStatus;
}

Bytes Type(uint16_t nType) {
    return {static_cast<uint8_t>(nType >> 8), static_cast<uint8_t>(nType)};
}

TEST(ParseLinkHeader, KnownHeadersAtEveryCapLength) {
    const Bytes macs(12, 0x11);
    const Bytes pppoe = {0x11, 0x00, 0x12, 0x34, 0x00, 0x40};
    const auto tag = [](uint16_t nTpid) { return Cat({Type(nTpid), {0x00, 0x07}}); };
    // Link type, exactly the bytes a verdict needs, header length, protocol, bytes from which on
    // the protocol is known (-1: all).
    const struct {
        int nLinkType;
        Bytes bytes;
        uint32_t nHeaderLength;
        P eProtocol;
        int nNeeded = -1;
    } samples[] = {
        {DLT_EN10MB, Cat({macs, Type(0x0800)}), 14, P::IPv4},
        {DLT_EN10MB, Cat({macs, Type(0x86DD)}), 14, P::IPv6},
        {DLT_EN10MB, Cat({macs, Type(0x0040)}), 14, P::Other},
        {DLT_EN10MB, Cat({macs, tag(0x8100), Type(0x0800)}), 18, P::IPv4},
        {DLT_EN10MB, Cat({macs, tag(0x88A8), tag(0x8100), Type(0x86DD)}), 22, P::IPv6},
        {DLT_EN10MB, Cat({macs, tag(0x9100), tag(0x8100), Type(0x0800)}), 22, P::IPv4},
        {DLT_EN10MB, Cat({macs, Type(0x8864), pppoe, Type(0x0021)}), 22, P::IPv4},
        {DLT_EN10MB, Cat({macs, tag(0x8100), Type(0x8864), pppoe, Type(0x0057)}), 26, P::IPv6},
        {DLT_RAW, {0x45}, 0, P::IPv4},
        {DLT_RAW, {0x60}, 0, P::IPv6},
        {DLT_RAW, {0x50}, 0, P::Other},
        {101, {0x60}, 0, P::IPv6},
        {DLT_IPV4, {0x45}, 0, P::IPv4, 0},
        {DLT_IPV6, {0x60}, 0, P::IPv6, 0},
        {DLT_LINUX_SLL, Cat({Bytes(14, 0x22), Type(0x0800)}), 16, P::IPv4},
        {DLT_LINUX_SLL2, Cat({Type(0x86DD), Bytes(18, 0x22)}), 20, P::IPv6, 2},
        {DLT_NULL, {2, 0, 0, 0}, 4, P::IPv4},
        {DLT_NULL, {0, 0, 0, 2}, 4, P::IPv4},
        {DLT_NULL, {10, 0, 0, 0}, 4, P::IPv6},
        {DLT_NULL, {0, 0, 0, 24}, 4, P::IPv6},
        {DLT_NULL, {28, 0, 0, 0}, 4, P::IPv6},
        {DLT_LOOP, {0, 0, 0, 30}, 4, P::IPv6},
        {DLT_PPP, {0xFF, 0x03, 0x00, 0x21}, 4, P::IPv4},
        {DLT_PPP, {0x00, 0x57}, 2, P::IPv6},
        {DLT_PPP_SERIAL, {0xFF, 0x03, 0x00, 0x57}, 4, P::IPv6},
        {DLT_PPP, {0xFF, 0x03, 0xC0, 0x21}, 4, P::Other},
        {DLT_PPP_ETHER, Cat({pppoe, Type(0x0021)}), 8, P::IPv4},
        {9999, Bytes(20, 0x45), 14, P::Other, 0},
    };
    for (const auto& sample : samples) {
        const uint32_t nSize = static_cast<uint32_t>(sample.bytes.size());
        const uint32_t nNeeded = sample.nNeeded < 0 ? nSize : static_cast<uint32_t>(sample.nNeeded);
        EXPECT_EQ(IsKnownLinkType(sample.nLinkType), sample.nLinkType != 9999);
        for (uint32_t nCapLen = 0; nCapLen <= nSize; ++nCapLen) {
            SCOPED_TRACE(testing::Message() << &sample - samples << " caplen " << nCapLen);
            const LinkVerdict verdict =
                ParseLinkHeader(sample.nLinkType, OnHeap(sample.bytes, nCapLen).get(), nCapLen);
            EXPECT_EQ(verdict.eProtocol, nCapLen >= nNeeded ? sample.eProtocol : P::Other);
            EXPECT_TRUE(nCapLen < nSize || verdict.nHeaderLength == sample.nHeaderLength);
        }
    }
}

// One rtnetlink message: header, family record, optionally one attribute.
Bytes Message(uint16_t nType, uint16_t nAttribute = 0) {
    const bool bLink = nType == RTM_NEWLINK || nType == RTM_DELLINK;
    Bytes message(NLMSG_SPACE(bLink ? sizeof(ifinfomsg) : sizeof(ifaddrmsg)), 0);
    if (nAttribute != 0) {
        const rtattr attribute{RTA_LENGTH(4), nAttribute};
        message.resize(message.size() + RTA_SPACE(4), 0x5A);
        std::memcpy(message.data() + message.size() - RTA_SPACE(4), &attribute, sizeof attribute);
    }
    const nlmsghdr header{static_cast<uint32_t>(message.size()), nType, 0, 0, 0};
    std::memcpy(message.data(), &header, sizeof header);
    return message;
}

bool Check(const Bytes& buffer, size_t nLength) {
    return IsAddressChange(OnHeap(buffer, nLength).get(), nLength);
}

TEST(IsAddressChange, CountsAllButWirelessAndSurvivesGarbage) {
    const Bytes wireless = Message(RTM_NEWLINK, IFLA_WIRELESS);
    const std::pair<Bytes, bool> cases[] = {
        {Message(RTM_NEWADDR), true},
        {Message(RTM_DELADDR), true},
        {Message(RTM_NEWLINK, IFLA_MTU), true},
        {Message(RTM_DELLINK), true},
        {wireless, false},
        {Message(RTM_NEWROUTE), false},
        {{}, false},
        {Cat({wireless, Message(RTM_NEWROUTE)}), false},
        {Cat({wireless, Message(RTM_NEWADDR)}), true},
    };
    for (const auto& [buffer, bChange] : cases) {
        EXPECT_EQ(Check(buffer, buffer.size()), bChange) << &buffer - &cases[0].first;
    }
    // Every truncation, and garbage whose lengths (also zero and huge) and types are plausible
    // often enough to reach the attribute walk.
    const Bytes stream = Cat({wireless, Message(RTM_NEWROUTE), Message(RTM_NEWADDR)});
    for (size_t nLength = 0; nLength <= stream.size(); ++nLength) {
        Check(stream, nLength);
    }
    std::mt19937 random(1234);
    for (int i = 0; i < 3000; ++i) {
        Bytes garbage(16 + random() % 80);
        std::generate(garbage.begin(), garbage.end(), [&] { return random(); });
        const uint32_t nLengths[] = {static_cast<uint32_t>(garbage.size() - random() % 4), 0,
                                     0xFFFFFFF0u, static_cast<uint32_t>(random())};
        const nlmsghdr header{nLengths[i % 4], static_cast<uint16_t>(RTM_NEWLINK + i / 4 % 2), 0, 0,
                              0};
        std::memcpy(garbage.data(), &header, 6);
        Check(garbage, garbage.size());
    }
}

} // namespace
