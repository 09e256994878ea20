#pragma once

#include "ZarnFd.h"
#include "ZarnThread.h"

#include <atomic>

class CZarnException;

// Follows the kernel's news of links and addresses (rtnetlink) on a thread of its own and asks
// its client to refresh whenever the news may change the devices or the host's addresses. The
// news socket is bound at construction, so that a change made between construction and Start is
// not missed.
class CAddressMonitor final : private IExecutable {
public:
    struct IClient {
        // Monitor thread: re-reads the devices and addresses. Returns in how many milliseconds it
        // owes another refresh even without news (a device changed while it was being opened, a
        // device is due to be looked at again), -1 when it owes none. May throw: the monitor then
        // refreshes again at the next news, or reports the failure.
        virtual int OnAddressChange() = 0;
        // Monitor thread: a failure to report; bRestarting when the news itself failed, once until
        // news works again: the monitor then binds new sockets, after a back-off, and refreshes.
        // Must not wait for the thread that may be stopping the monitor.
        virtual void OnMonitorFailure(const CZarnException& e, bool bRestarting) = 0;

    protected:
        ~IClient() = default;
    };

    // How long the monitor waits for news before a refresh that the client owes.
    static constexpr int kOwedRefreshMs = 200;
    // After its news failed, the monitor tries to bind a new socket after these waits, each twice
    // the one before.
    static constexpr int kFirstRestartMs = 500;
    static constexpr int kLastRestartMs = 30'000;

    // Binds the news socket. Throws CZarnException(errno) when a socket or event cannot be made.
    explicit CAddressMonitor(IClient& client);
    CAddressMonitor(const CAddressMonitor&) = delete;
    CAddressMonitor& operator=(const CAddressMonitor&) = delete;
    // Stops the thread and waits for it.
    ~CAddressMonitor();

    // Controlling thread: starts following news; nRefreshOwedMs as OnAddressChange returns it,
    // for the first refresh, made before. Throws CZarnException(errno) when no thread can start.
    void Start(int nRefreshOwedMs);
    // Any thread: asks for a refresh now, as news would (the user's choices changed).
    void RequestRefresh();
    // Any thread: whether the thread still runs (until stopped).
    bool IsRunning() const { return m_bRunning.load(std::memory_order_acquire); }
    // Any thread: false while the thread waits to restart its failed news.
    bool IsUp() const { return m_bUp.load(std::memory_order_acquire); }
    // Test hook, any thread: the monitor thread closes its news socket at its next wait, as if
    // the socket had failed.
    void CloseNewsForTest();

private:
    // Monitor thread: waits for news and refreshes. Stop asks it to end (the destructor joins).
    void Run() override;
    void Stop() override;
    // Waits for news (or a refresh request) up to nTimeoutMs (-1: no limit); true when the news
    // may change devices or addresses, or the time ran out. Throws CZarnException(errno) when the
    // news socket fails.
    bool WaitForNews(int nTimeoutMs);
    // Whether news is waiting to be read.
    bool HasPendingNews() const;
    // Binds a new news socket after the back-off, which doubles with each try until news works
    // again; returns true once one is bound, false at a stop.
    bool Restart();

    IClient& m_client;
    CZarnFd m_hNetlink; // rtnetlink socket reporting address and link changes; replaced only by
                        // the monitor thread once started
    CZarnEvent m_stopEvent;
    CZarnEvent m_refreshEvent;
    std::atomic<bool> m_bStopRequested{false};
    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bUp{true};
    std::atomic<bool> m_bCloseForTest{false};
    int m_nRefreshOwedMs = -1;   // monitor thread only, once started
    bool m_bFailureSaid = false; // monitor thread only: the current failure has been reported
    int m_nRestartWaitMs = kFirstRestartMs; // monitor thread only: the next wait before a restart
    CZarnThread m_thread;                   // last: stopped first
};
