#include "ZarnException.h"
#include "ZarnLock.h"
#include "ZarnThread.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <pthread.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

bool Eventually(const std::function<bool()>& pred) {
    for (int i = 0; i < 4000 && !pred(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

TEST(ZarnException, BothFormsAndCopies) {
    const CZarnException osError(ENOMEM);
    EXPECT_EQ(osError.GetCode(), ENOMEM);
    EXPECT_FALSE(osError.HasDescription());
    ASSERT_NE(osError.GetDescription(), nullptr);
    EXPECT_STREQ(osError.GetDescription(), "");

    // An empty text still counts as a description: the form decides, not the content.
    const CZarnException emptyText(0, "");
    EXPECT_TRUE(emptyText.HasDescription());
    EXPECT_STREQ(emptyText.GetDescription(), "");
    EXPECT_TRUE(CZarnException(0, nullptr).HasDescription());

    auto pOriginal = std::make_unique<CZarnException>(-3, "no such device");
    const CZarnException copy(*pOriginal);
    CZarnException assigned(1);
    assigned = *pOriginal;
    pOriginal.reset();
    for (const CZarnException* pException : {&copy, const_cast<const CZarnException*>(&assigned)}) {
        EXPECT_EQ(pException->GetCode(), -3);
        EXPECT_TRUE(pException->HasDescription());
        EXPECT_STREQ(pException->GetDescription(), "no such device");
    }
}

// Whether another thread gets the lock; waits for it only when bExpected.
class CLockProbe {
public:
    explicit CLockProbe(CZarnLock& lock)
        : m_thread([this, &lock] {
              lock.Lock();
              m_bAcquired.store(true);
              lock.Unlock();
          }) {}
    ~CLockProbe() { m_thread.join(); }
    bool Acquired() const { return m_bAcquired.load(); }

private:
    std::atomic<bool> m_bAcquired{false};
    std::thread m_thread;
};

TEST(ZarnLock, RecursiveAndReleasedByScopeOnException) {
    CZarnLock lock;
    lock.Lock();
    lock.Lock();
    {
        CLockProbe probe(lock);
        lock.Unlock();
        // Still held once: the probe cannot have it, however long it tries.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(probe.Acquired());
        lock.Unlock();
        EXPECT_TRUE(Eventually([&] { return probe.Acquired(); }));
    }

    try {
        CZarnScopedLock outer(&lock);
        CZarnScopedLock inner(&lock);
        throw std::runtime_error("leaves the scope");
    } catch (const std::runtime_error&) {
    }
    CLockProbe probe(lock);
    EXPECT_TRUE(Eventually([&] { return probe.Acquired(); }));
}

// Holds its own thread, as the library's executables do.
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

TEST(ZarnThread, StopOfEmptyAndOfEndedHolder) {
    {
        CCountingExecutable executable;
        executable.m_thread.Stop();
        EXPECT_FALSE(executable.m_thread.IsHeld());
        EXPECT_EQ(executable.m_nStops.load(), 0);
    }

    CCountingExecutable executable;
    executable.m_thread.Start(&executable);
    EXPECT_TRUE(executable.m_thread.IsHeld());
    ASSERT_TRUE(Eventually([&] { return executable.m_nRuns.load() == 1; }));
    // Run has returned by itself; the holder keeps the thread until stopped.
    EXPECT_TRUE(executable.m_thread.IsHeld());
    executable.m_thread.Stop();
    EXPECT_EQ(executable.m_nStops.load(), 1);
    EXPECT_FALSE(executable.m_thread.IsHeld());
    executable.m_thread.Stop();
    EXPECT_EQ(executable.m_nStops.load(), 1);
}

size_t CurrentAddressSpace() {
    std::ifstream statm("/proc/self/statm");
    size_t nPages = 0;
    statm >> nPages;
    return nPages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

TEST(ZarnThread, FailedStartThrowsErrnoAndHoldsNothing) {
    // Thread creation fails in a child whose address space has no room for another stack.
    const pid_t nPid = fork();
    ASSERT_GE(nPid, 0);
    if (nPid == 0) {
        CCountingExecutable executable;
        // Stacks of ended threads are cached and reused; a larger default size needs a new one.
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, 64 << 20);
        pthread_setattr_default_np(&attributes);
        const rlimit limit{CurrentAddressSpace() + (512 << 10), RLIM_INFINITY};
        if (setrlimit(RLIMIT_AS, &limit) != 0) {
            _exit(10);
        }
        int nResult = 11; // started after all
        try {
            executable.m_thread.Start(&executable);
        } catch (const CZarnException& e) {
            nResult =
                (e.GetCode() == EAGAIN || e.GetCode() == ENOMEM) && !e.HasDescription() ? 0 : 12;
        }
        if (nResult == 0 && executable.m_thread.IsHeld()) {
            nResult = 13;
        }
        executable.m_thread.Stop();
        if (nResult == 0 && (executable.m_nStops.load() != 0 || executable.m_nRuns.load() != 0)) {
            nResult = 14;
        }
        _exit(nResult);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(nPid, &nStatus, 0), nPid);
    ASSERT_TRUE(WIFEXITED(nStatus)) << "child died by signal " << WTERMSIG(nStatus);
    // 10: no limit, 11: the thread started, 12: wrong code or form, 13: holder not empty,
    // 14: the executable was run or stopped.
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
}

} // namespace
