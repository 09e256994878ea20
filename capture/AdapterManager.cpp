#include "AdapterManager.h"

#include "AddressChange.h"
#include "DeviceList.h"
#include "ZarnException.h"

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <new>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

// A device is captured when it is up and carries at least one IPv4 or IPv6 address; the
// link-layer entries libpcap lists for nearly every interface are not network addresses.
bool IsCapturable(const pcap_if_t* pDevice) {
    if ((pDevice->flags & PCAP_IF_UP) == 0) {
        return false;
    }
    for (const pcap_addr_t* pEntry = pDevice->addresses; pEntry != nullptr; pEntry = pEntry->next) {
        if (pEntry->addr != nullptr &&
            (pEntry->addr->sa_family == AF_INET || pEntry->addr->sa_family == AF_INET6)) {
            return true;
        }
    }
    return false;
}

// Whether a fresh listing still shows the device capturable; assumed so when it cannot be made.
bool IsStillCapturable(const char* szDeviceName) {
    try {
        CDeviceList devices;
        for (size_t i = 0; i < devices.GetCount(); ++i) {
            if (std::strcmp(devices.GetAt(i)->name, szDeviceName) == 0) {
                return IsCapturable(devices.GetAt(i));
            }
        }
        return false;
    } catch (const CZarnException&) {
        return true;
    }
}

CZarnFd OpenAddressChangeSocket() {
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

CAdapterManager* CAdapterManager::GetInstance() {
    // Deleted at process end, which stops whatever capture still runs.
    static const std::unique_ptr<CAdapterManager> s_pInstance(new CAdapterManager());
    return s_pInstance.get();
}

CAdapterManager::~CAdapterManager() {
    StopAll();
}

void CAdapterManager::Start(IAdapterListener* pListener) {
    // A monitor that ended after a failure is still held; a new one replaces it.
    m_thread.Stop();
    m_bStopRequested.store(false, std::memory_order_release);
    m_pListener = pListener;
    // The socket is bound before the first enumeration, so a change made meanwhile is not missed.
    auto pStopEvent = std::make_unique<CZarnEvent>();
    CZarnFd hNetlink = OpenAddressChangeSocket();
    Refresh();
    m_pStopEvent = std::move(pStopEvent);
    m_hNetlink = std::move(hNetlink);
    m_bMonitorRunning.store(true, std::memory_order_release);
    try {
        m_thread.Start(this);
    } catch (...) {
        m_bMonitorRunning.store(false, std::memory_order_release);
        throw;
    }
}

std::vector<AdapterState> CAdapterManager::GetAdapterStates() const {
    CZarnScopedLock lock(&m_lock);
    std::vector<AdapterState> states;
    states.reserve(m_adapters.size());
    for (const auto& pAdapter : m_adapters) {
        states.push_back({pAdapter->GetName(), pAdapter->IsOpen(), pAdapter->IsRunning()});
    }
    return states;
}

void CAdapterManager::StopAll() {
    // The monitor goes first, so that no refresh works on the adapters while they are deleted
    // and none can open new ones afterwards.
    m_thread.Stop();
    m_pStopEvent.reset();
    m_hNetlink.Reset();
    CZarnScopedLock lock(&m_lock);
    for (auto& pAdapter : m_adapters) {
        pAdapter.reset();
    }
    m_adapters.clear();
    // No capture thread is left that could still read a replaced address table.
    m_addressMap.Trim();
}

void CAdapterManager::Refresh() {
    CZarnScopedLock lock(&m_lock);
    CDeviceList devices;

    CAddressTable table;
    for (size_t i = 0; i < devices.GetCount(); ++i) {
        for (const pcap_addr_t* pEntry = devices.GetAt(i)->addresses; pEntry != nullptr;
             pEntry = pEntry->next) {
            table.Add(pEntry->addr);
        }
    }
    // Published before any device is announced, so that it is complete even when one fails.
    m_addressMap.Publish(std::move(table));

    for (size_t i = 0; i < devices.GetCount(); ++i) {
        if (!IsCapturable(devices.GetAt(i))) {
            continue;
        }
        try {
            FindOrCreate(devices.GetAt(i)->name);
        } catch (const CZarnException&) {
            // A device removed or set down since it was listed cannot open; that is no failure,
            // and the news of its change brings the refresh that settles it.
            if (IsStillCapturable(devices.GetAt(i)->name)) {
                throw;
            }
        }
    }

    for (const auto& pAdapter : m_adapters) {
        bool bListed = false;
        for (size_t i = 0; i < devices.GetCount() && !bListed; ++i) {
            bListed = IsCapturable(devices.GetAt(i)) &&
                      std::strcmp(devices.GetAt(i)->name, pAdapter->GetName()) == 0;
        }
        if (!bListed) {
            pAdapter->Close();
        }
    }
}

void CAdapterManager::FindOrCreate(const char* szDeviceName) {
    for (const auto& pAdapter : m_adapters) {
        if (std::strcmp(pAdapter->GetName(), szDeviceName) == 0) {
            if (!pAdapter->IsRunning()) {
                m_pListener->OnAdapterFound(pAdapter.get(), szDeviceName);
            }
            return;
        }
    }
    m_adapters.push_back(std::make_unique<CAdapter>(m_pListener));
    try {
        m_pListener->OnAdapterFound(m_adapters.back().get(), szDeviceName);
    } catch (...) {
        if (!m_adapters.back()->IsOpen()) {
            m_adapters.pop_back();
        }
        throw;
    }
}

bool CAdapterManager::ReadAddressChanges() {
    pollfd waits[2] = {{m_pStopEvent->GetFd(), POLLIN, 0}, {m_hNetlink.Get(), POLLIN, 0}};
    while (::poll(waits, 2, -1) < 0) {
        if (errno != EINTR) {
            throw CZarnException(errno);
        }
    }
    if (waits[0].revents != 0) {
        return false; // stop wins
    }
    // Drain everything pending: one refresh answers all of it.
    bool bChanged = false;
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

void CAdapterManager::Run() {
    bool bRefreshOwed = false;
    bool bFailed = false;
    while (!bFailed && !m_bStopRequested.load(std::memory_order_acquire)) {
        try {
            const bool bChanged = ReadAddressChanges();
            if (m_bStopRequested.load(std::memory_order_acquire)) {
                break;
            }
            if (bChanged || bRefreshOwed) {
                bRefreshOwed = false;
                Refresh();
            }
        } catch (const CZarnException& e) {
            // A device that changed again while it was being opened (gone down, removed) fails
            // the refresh; the news of that change is already waiting, and the next refresh
            // settles it. Only a failure that no pending change explains ends the monitor.
            if (HasPendingNews()) {
                bRefreshOwed = true;
                continue;
            }
            m_pListener->OnException(e);
            bFailed = true;
        } catch (const std::bad_alloc&) {
            m_pListener->OnException(CZarnException(ENOMEM));
            bFailed = true;
        } catch (...) {
            m_pListener->OnException(CZarnException(0));
            bFailed = true;
        }
    }
    m_bMonitorRunning.store(false, std::memory_order_release);
}

bool CAdapterManager::HasPendingNews() const {
    pollfd wait{m_hNetlink.Get(), POLLIN, 0};
    return ::poll(&wait, 1, 0) > 0 && (wait.revents & POLLIN) != 0;
}

void CAdapterManager::Stop() {
    m_bStopRequested.store(true, std::memory_order_release);
    m_pStopEvent->Set();
}
