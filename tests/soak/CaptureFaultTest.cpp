#include "SoakSupport.h"

#include "ZarnException.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace orvektest;

namespace {

std::string Str(int n) {
    return std::to_string(n);
}

// The number the next descriptor gets; a lowered limit only bounds the numbers of new ones.
int LowestFreeFd() {
    const int hFd = fcntl(0, F_DUPFD_CLOEXEC, 0);
    close(hFd);
    return hFd;
}

// Lowers the descriptor limit for its lifetime.
class CFdLimit {
public:
    explicit CFdLimit(rlim_t nLimit) {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit lowered = m_saved;
        lowered.rlim_cur = nLimit;
        EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0) << std::strerror(errno);
    }
    CFdLimit(const CFdLimit&) = delete;
    CFdLimit& operator=(const CFdLimit&) = delete;
    ~CFdLimit() { setrlimit(RLIMIT_NOFILE, &m_saved); }

private:
    rlimit m_saved{};
};

// Running out of descriptors part-way through Start, at every point it can happen: a clear
// error, no adapter half-open, the devices that did open keep counting, and capture recovers
// once descriptors are back.
TEST_F(CSoakTest, DescriptorExhaustionFailsCleanlyAtEveryStep) {
    constexpr int kDevices = 4;
    CPeerNs peer;
    for (int i = 0; i < kDevices; ++i) {
        MakeVethPair(peer, {"lim" + Str(i), "10.84." + Str(i) + ".1", ""},
                     {"plim" + Str(i), "10.84." + Str(i) + ".2", ""});
    }
    // The undefined-behaviour sanitizer probes memory through a pipe when it first checks an
    // object's dynamic type; one ordinary cycle and an exception show it every type first.
    m_meter.StartCapture();
    m_meter.StopCapture();
    EXPECT_EQ(CZarnException(EMFILE).GetCode(), EMFILE);
    const int nFdsBefore = CountFds();
    const int nThreadsBefore = CountThreads();
    int nFailures = 0;
    bool bStarted = false;
    for (int nSpare = 0; nSpare < 64 && !bStarted; ++nSpare) {
        SCOPED_TRACE("descriptors to spare: " + Str(nSpare));
        std::optional<CZarnException> error;
        {
            CFdLimit limit(static_cast<rlim_t>(LowestFreeFd() + nSpare));
            try {
                m_meter.StartCapture();
                bStarted = true;
            } catch (const CZarnException& e) {
                error = e;
            }
        }
        if (error) {
            ++nFailures;
            if (error->HasDescription()) {
                EXPECT_NE(std::strstr(error->GetDescription(), std::strerror(EMFILE)), nullptr)
                    << error->GetCode() << " " << error->GetDescription();
            } else {
                EXPECT_EQ(error->GetCode(), EMFILE);
            }
        }

        std::set<std::string> opened;
        for (const AdapterState& adapter : QuiesceAndListAdapters()) {
            if (adapter.bOpen) {
                opened.insert(adapter.strName);
            }
        }
        CAdapterManager* pManager = CAdapterManager::GetInstance();
        for (size_t i = 0; i < pManager->GetAdapterCount(); ++i) {
            const CAdapter* pAdapter = pManager->GetAdapterAt(i);
            if (pAdapter->IsOpen()) {
                EXPECT_TRUE(WaitUntil([pAdapter] { return pAdapter->IsRunning(); }))
                    << pAdapter->GetName() << " open but not capturing";
            }
        }
        if (bStarted) {
            EXPECT_EQ(opened.size(), kDevices + 1u) << "every device opened";
        }

        // Traffic on every device; counted exactly for those that opened.
        const int64_t nRecvBefore = m_meter.GetRecvBytes();
        int64_t nExpected = 0;
        for (int i = 0; i < kDevices; ++i) {
            const std::string strName = "lim" + Str(i);
            const IfCounters before = ReadCounters(strName);
            peer.RunIn(
                [i] { SendUdp("10.84." + Str(i) + ".2", "10.84." + Str(i) + ".1", 5004, 100, 5); });
            if (opened.count(strName) != 0) {
                nExpected += NetworkBytes(before, ReadCounters(strName));
            }
        }
        EXPECT_TRUE(WaitUntil([&] { return m_meter.GetRecvBytes() - nRecvBefore == nExpected; }))
            << m_meter.GetRecvBytes() - nRecvBefore << " counted, " << nExpected << " expected";

        // With descriptors back, capture stops and starts again.
        m_meter.StopCapture();
        EXPECT_NO_THROW(m_meter.StartCapture());
        m_meter.StopCapture();
        EXPECT_EQ(CountFds(), nFdsBefore);
        EXPECT_TRUE(WaitUntil([&] { return CountThreads() == nThreadsBefore; }));
    }
    EXPECT_TRUE(bStarted) << "Start never had enough descriptors";
    EXPECT_GT(nFailures, 0) << "the limit never bit";
    EXPECT_EQ(m_meter.GetMessages(), "");
}

// Expressions libpcap refuses. None of them names a host, so compiling never asks a resolver.
std::vector<std::string> MakeMalformedFilters() {
    std::vector<std::string> filters = {
        "(tcp",
        "tcp)",
        "((udp) or tcp",
        "(tcp or (udp)",
        "tcp and and udp",
        "udp or",
        "and",
        "not",
        "tcp or or",
        "port 70000",
        "port 65536",
        "tcp port 99999999",
        "portrange 1-70000",
        "portrange 80-",
        "port nosuchservice",
        "tcp dst port nosuchservice",
        "proto nosuchproto",
        "ether proto nosuchproto",
        "portrange 70000-80000",
        "net 10.0.0.0/33",
        "net 10.1.2.3/8",
        "vlan 5000",
        "mpls 1048576",
        "ip[0:3] = 1",
        "len > 99999999999999999999",
        "ether[0] & 0x1ffffffffff != 0",
        "tcp[tcpflags] & ",
        "greater",
        "less less",
        "ip6 protochain nosuchproto",
    };
    // Printable garbage that starts with a character no expression starts with.
    const std::string strFirst = ")]&|*/,:;=^`{}~?#$@%";
    std::mt19937 random(20261206);
    while (filters.size() < 100) {
        std::string strGarbage(1, strFirst[random() % strFirst.size()]);
        const size_t nLength = 2 + random() % 24;
        while (strGarbage.size() < nLength) {
            strGarbage += static_cast<char>(' ' + random() % 95);
        }
        filters.push_back(strGarbage);
    }
    return filters;
}

// A refused filter fails Start with libpcap's text and leaves nothing capturing without it;
// afterwards a good filter works and counts.
TEST_F(CSoakTest, MalformedFiltersThrowAndLeaveCaptureWorking) {
    CPeerNs peer;
    MakeVethPair(peer, {"filt0", "10.85.0.1", ""}, {"pfilt0", "10.85.0.2", ""});
    const int nFdsBefore = CountFds();
    for (const std::string& strFilter : MakeMalformedFilters()) {
        SCOPED_TRACE("filter \"" + strFilter + "\"");
        m_meter.SetCaptureSettings(strFilter, false);
        try {
            m_meter.StartCapture();
            ADD_FAILURE() << "accepted";
        } catch (const CZarnException& e) {
            EXPECT_EQ(e.GetCode(), 0);
            EXPECT_TRUE(e.HasDescription());
            EXPECT_STRNE(e.GetDescription(), "");
        }
        // No monitor runs after a failed Start: every adapter is closed, none captures unfiltered.
        CAdapterManager* pManager = CAdapterManager::GetInstance();
        EXPECT_FALSE(pManager->IsMonitorRunning());
        for (size_t i = 0; i < pManager->GetAdapterCount(); ++i) {
            EXPECT_FALSE(pManager->GetAdapterAt(i)->IsOpen())
                << pManager->GetAdapterAt(i)->GetName();
        }
        m_meter.StopCapture();
        EXPECT_EQ(CountFds(), nFdsBefore);
    }
    EXPECT_EQ(m_meter.GetRecvBytes() + m_meter.GetSentBytes(), 0);

    // A good filter that lets through one port of two: exactly that port's datagrams count.
    m_meter.SetCaptureSettings("udp port 5005", false);
    m_meter.StartCapture();
    const IfCounters before = ReadCounters("filt0");
    peer.RunIn([] {
        SendUdp("10.85.0.2", "10.85.0.1", 5005, 100, 20);
        SendUdp("10.85.0.2", "10.85.0.1", 5006, 100, 20);
    });
    EXPECT_EQ(NetworkBytes(before, ReadCounters("filt0")), 40 * (20 + 8 + 100));
    EXPECT_TRUE(WaitUntil([&] { return m_meter.GetRecvBytes() == 20 * (20 + 8 + 100); }))
        << m_meter.GetRecvBytes();
    EXPECT_EQ(m_meter.GetMessages(), "");
}

} // namespace
