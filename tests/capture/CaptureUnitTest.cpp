#include "NetNs.h"
#include "ZarnException.h"
#include "ZarnLock.h"
#include "ZarnThread.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

TEST(ZarnException, BothForms) {
    const CZarnException osError(ENOMEM);
    EXPECT_EQ(osError.GetCode(), ENOMEM);
    EXPECT_FALSE(osError.HasDescription());
    EXPECT_STREQ(osError.GetDescription(), "");
    // The form decides, not the content: a null text is still a description, read as empty.
    const CZarnException nullText(0, nullptr);
    EXPECT_TRUE(nullText.HasDescription());
    EXPECT_STREQ(nullText.GetDescription(), "");
    const CZarnException described(-3, "no such device");
    EXPECT_EQ(described.GetCode(), -3);
    EXPECT_STREQ(described.GetDescription(), "no such device");
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

// Runs until stopped, counting the runs that returned and the stop requests.
struct CCountingExecutable : IExecutable {
    void Run() override {
        while (m_nStops.load() == 0) {
            std::this_thread::sleep_for(1ms);
        }
        m_nReturned.fetch_add(1);
    }
    void Stop() override { m_nStops.fetch_add(1); }
    std::atomic<int> m_nReturned{0}, m_nStops{0};
    CZarnThread m_thread; // stopped before destruction
};

TEST(ZarnThread, StopJoinsOnceAndFailedStartHoldsNothing) {
    CCountingExecutable executable;
    executable.m_thread.Stop();
    executable.m_thread.Start(&executable);
    executable.m_thread.Stop(); // asks, then joins
    executable.m_thread.Stop();
    EXPECT_EQ(executable.m_nReturned.load(), 1);
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

} // namespace
