#pragma once

// Shared by the soak and fault tests: a headless meter that records what it is asked to show,
// and a fixture that checks every test gives back the descriptors and threads it found.

#include "AdapterManager.h"
#include "NetNs.h"
#include "OrvekMeter.h"

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cstdint>
#include <dirent.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvektest {

// Sanitized builds run several times slower; the soak loops shrink there, the checks do not.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// A meter with a view that shows nothing: it records posts and messages for the test to read.
class CSoakMeter : public COrvekMeter {
public:
    ~CSoakMeter() override { StopCapture(); }

    int GetPostCount() const { return m_nPosts.load(); }
    // Every message shown so far, one a line.
    std::string GetMessages() const {
        std::lock_guard<std::mutex> guard(m_mtx);
        std::string strAll;
        for (const std::string& strMessage : m_messages) {
            strAll += strMessage + "\n";
        }
        return strAll;
    }

protected:
    // Capture thread: records the post; nobody serves it, so at most one ever comes.
    void PostDisplayUpdate() override { m_nPosts.fetch_add(1); }
    // User-interface thread: nothing to show.
    void ShowCounters(const char*, const char*) override {}
    // Any thread: records the message and returns at once.
    void ShowMessage(const std::string& strText, const char* szCaption) override {
        std::lock_guard<std::mutex> guard(m_mtx);
        m_messages.push_back(std::string(szCaption) + ": " + strText);
    }

private:
    std::atomic<int> m_nPosts{0};
    mutable std::mutex m_mtx;
    std::vector<std::string> m_messages; // guarded by m_mtx
};

// Entries of a /proc directory, less "." and "..".
inline int CountEntries(const char* szPath) {
    DIR* pDir = opendir(szPath);
    if (pDir == nullptr) {
        ADD_FAILURE() << "cannot list " << szPath;
        return -1;
    }
    int nCount = 0;
    while (const dirent* pEntry = readdir(pDir)) {
        nCount += pEntry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(pDir);
    return nCount;
}
inline int CountFds() {
    return CountEntries("/proc/self/fd");
}
inline int CountThreads() {
    return CountEntries("/proc/self/task");
}

inline uint32_t IPv4(const std::string& strAddress) {
    in_addr address{};
    EXPECT_EQ(inet_pton(AF_INET, strAddress.c_str(), &address), 1) << strAddress;
    return address.s_addr;
}
inline std::array<uint8_t, 16> IPv6(const std::string& strAddress) {
    std::array<uint8_t, 16> address{};
    EXPECT_EQ(inet_pton(AF_INET6, strAddress.c_str(), address.data()), 1) << strAddress;
    return address;
}

// What the meter counts for the frames an Ethernet interface received between two readings:
// everything after the 14-byte link header.
inline int64_t NetworkBytes(const IfCounters& before, const IfCounters& after) {
    return static_cast<int64_t>(after.nRxBytes - before.nRxBytes) -
           14 * static_cast<int64_t>(after.nRxPackets - before.nRxPackets);
}

struct AdapterState {
    std::string strName;
    bool bOpen;
    bool bRunning;
};

// Ends the monitor (so that nothing changes the adapter list any more) and lists the adapters.
inline std::vector<AdapterState> QuiesceAndListAdapters() {
    CAdapterManager* pManager = CAdapterManager::GetInstance();
    pManager->Stop();
    std::vector<AdapterState> adapters;
    for (size_t i = 0; i < pManager->GetAdapterCount(); ++i) {
        const CAdapter* pAdapter = pManager->GetAdapterAt(i);
        adapters.push_back({pAdapter->GetName(), pAdapter->IsOpen(), pAdapter->IsRunning()});
    }
    return adapters;
}

// Every test starts and ends with no capture, and must give back every descriptor and thread.
class CSoakTest : public testing::Test {
protected:
    void SetUp() override {
        // A sanitizer starts a helper thread of its own with the first thread; let it come now.
        std::thread([] {}).join();
        m_nFds = CountFds();
        m_nThreads = CountThreads();
    }
    void TearDown() override {
        m_meter.StopCapture();
        // A joined thread may linger in /proc for a moment after join returns.
        EXPECT_TRUE(WaitUntil([this] { return CountThreads() == m_nThreads; }))
            << CountThreads() << " threads, " << m_nThreads << " before the test";
        EXPECT_EQ(CountFds(), m_nFds) << "descriptors leaked";
        EXPECT_EQ(CAdapterManager::GetInstance()->GetAdapterCount(), 0u);
    }

    CSoakMeter m_meter;
    int m_nFds = 0;
    int m_nThreads = 0;
};

} // namespace orvektest
