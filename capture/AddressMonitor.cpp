#include "AddressMonitor.h"

#include "AddressChange.h"
#include "ZarnException.h"

#include <algorithm>
#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

CZarnFd OpenNewsSocket() {
    CZarnFd hSocket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (!hSocket.IsOpen()) {
        throw CZarnException(errno);
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (::bind(hSocket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw CZarnException(errno);
    }
    return hSocket;
}

} // namespace

CAddressMonitor::CAddressMonitor(IClient& client)
    : m_client(client), m_hNetlink(OpenNewsSocket()) {}

CAddressMonitor::~CAddressMonitor() {
    m_thread.Stop();
}

void CAddressMonitor::Start(int nRefreshOwedMs) {
    m_nRefreshOwedMs = nRefreshOwedMs;
    m_bRunning.store(true, std::memory_order_release);
    try {
        m_thread.Start(this);
    } catch (...) {
        m_bRunning.store(false, std::memory_order_release);
        throw;
    }
}

void CAddressMonitor::RequestRefresh() {
    m_refreshEvent.Set();
}

void CAddressMonitor::CloseNewsForTest() {
    m_bCloseForTest.store(true, std::memory_order_release);
    m_refreshEvent.Set();
}

void CAddressMonitor::Stop() {
    m_bStopRequested.store(true, std::memory_order_release);
    m_stopEvent.Set();
}

bool CAddressMonitor::WaitForNews(int nTimeoutMs) {
    pollfd waits[3] = {{m_stopEvent.GetFd(), POLLIN, 0},
                       {m_hNetlink.Get(), POLLIN, 0},
                       {m_refreshEvent.GetFd(), POLLIN, 0}};
    int nReady = 0;
    while ((nReady = ::poll(waits, 3, nTimeoutMs)) < 0) {
        if (errno != EINTR) {
            throw CZarnException(errno);
        }
    }
    if (waits[0].revents != 0) {
        return false; // stop wins
    }
    if (m_bCloseForTest.exchange(false, std::memory_order_acq_rel)) {
        m_hNetlink.Reset(); // reading it now fails as a closed socket does
    }
    bool bChanged = nReady == 0; // the time-out of an owed refresh
    if (waits[2].revents != 0) {
        m_refreshEvent.Reset();
        bChanged = true;
    }
    // Drain everything pending: one refresh answers all of it.
    alignas(nlmsghdr) uint8_t buffer[16384];
    for (;;) {
        const ssize_t nRead = ::recv(m_hNetlink.Get(), buffer, sizeof buffer, 0);
        if (nRead < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return bChanged;
            }
            if (errno == ENOBUFS) {
                bChanged = true; // news was dropped: assume it was a change
                continue;
            }
            throw CZarnException(errno);
        }
        if (!bChanged && IsAddressChange(buffer, static_cast<size_t>(nRead))) {
            bChanged = true;
        }
    }
}

bool CAddressMonitor::HasPendingNews() const {
    pollfd wait{m_hNetlink.Get(), POLLIN, 0};
    return ::poll(&wait, 1, 0) > 0 && (wait.revents & POLLIN) != 0;
}

bool CAddressMonitor::Restart() {
    for (;;) {
        pollfd stop{m_stopEvent.GetFd(), POLLIN, 0};
        if (::poll(&stop, 1, m_nRestartWaitMs) > 0) {
            return false;
        }
        m_nRestartWaitMs = std::min(m_nRestartWaitMs * 2, kLastRestartMs);
        try {
            m_hNetlink = OpenNewsSocket();
            return true;
        } catch (const CZarnException&) {
            // Still failing: the next try waits longer.
        }
    }
}

void CAddressMonitor::Run() {
    while (!m_bStopRequested.load(std::memory_order_acquire)) {
        bool bChanged = false;
        try {
            bChanged = WaitForNews(m_nRefreshOwedMs);
            // The news works: a later failure is a new one, said again, retried soon again.
            m_bFailureSaid = false;
            m_nRestartWaitMs = kFirstRestartMs;
        } catch (const CZarnException& e) {
            // The news itself failed: said once (a new socket that fails at once is the same
            // failure), and followed again from a new socket. Whatever changed meanwhile is found
            // by a refresh as soon as it is bound.
            m_bUp.store(false, std::memory_order_release);
            if (!m_bFailureSaid) {
                m_client.OnMonitorFailure(e, true);
                m_bFailureSaid = true;
            }
            if (!Restart()) {
                break;
            }
            m_bUp.store(true, std::memory_order_release);
            m_nRefreshOwedMs = 0;
            continue;
        }
        if (m_bStopRequested.load(std::memory_order_acquire)) {
            break;
        }
        if (!bChanged && m_nRefreshOwedMs < 0) {
            continue;
        }
        m_nRefreshOwedMs = -1;
        try {
            m_nRefreshOwedMs = m_client.OnAddressChange();
        } catch (...) {
            // A listing that failed while devices changed again is settled by the refresh that
            // the waiting news brings. Any other failure is reported, and the monitor goes on
            // following changes.
            if (HasPendingNews()) {
                m_nRefreshOwedMs = kOwedRefreshMs;
                continue;
            }
            m_client.OnMonitorFailure(CurrentError(), false);
        }
    }
    m_bRunning.store(false, std::memory_order_release);
}
