#include "AdapterManager.h"

#include "AddressChange.h"
#include "DeviceList.h"
#include "LinkTable.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <new>
#include <optional>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool HasAddress(const pcap_if_t* pDevice) {
    for (const pcap_addr_t* pEntry = pDevice->addresses; pEntry != nullptr; pEntry = pEntry->next) {
        if (pEntry->addr != nullptr &&
            (pEntry->addr->sa_family == AF_INET || pEntry->addr->sa_family == AF_INET6)) {
            return true;
        }
    }
    return false;
}

// What a device looks like for a retry decision: its state flags, addresses and link, without
// the promiscuous flags that opening and closing captures toggle.
std::string Signature(const pcap_if_t* pDevice, const LinkRecord* pLink) {
    std::string strSignature = std::to_string(pDevice->flags);
    if (pLink != nullptr) {
        // The carrier changes count every flip, also one that is over by the next listing.
        for (const unsigned nValue :
             {static_cast<unsigned>(pLink->nIndex),
              pLink->nFlags & ~unsigned{IFF_PROMISC | IFF_ALLMULTI},
              static_cast<unsigned>(pLink->nMasterIndex), pLink->nCarrierChanges}) {
            strSignature.append("/").append(std::to_string(nValue));
        }
    }
    for (const pcap_addr_t* pEntry = pDevice->addresses; pEntry != nullptr; pEntry = pEntry->next) {
        const sockaddr* pAddress = pEntry->addr;
        if (pAddress != nullptr && pAddress->sa_family == AF_INET) {
            strSignature.append(reinterpret_cast<const char*>(
                                    &reinterpret_cast<const sockaddr_in*>(pAddress)->sin_addr),
                                4);
        } else if (pAddress != nullptr && pAddress->sa_family == AF_INET6) {
            strSignature.append(reinterpret_cast<const char*>(
                                    &reinterpret_cast<const sockaddr_in6*>(pAddress)->sin6_addr),
                                16);
        }
    }
    return strSignature;
}

// Every device's signature in a fresh listing, for those up with an address. Empty when no
// listing can be made: then nothing shows a change.
std::map<std::string, std::string> FreshSignatures() {
    std::map<std::string, std::string> signatures;
    try {
        const CDeviceList devices;
        const CLinkTable links;
        for (size_t i = 0; i < devices.GetCount(); ++i) {
            const pcap_if_t* pDevice = devices.GetAt(i);
            if ((pDevice->flags & PCAP_IF_UP) != 0 && HasAddress(pDevice)) {
                signatures[pDevice->name] = Signature(pDevice, links.Find(pDevice->name));
            }
        }
    } catch (const CZarnException&) {
        signatures.clear();
    }
    return signatures;
}

// The text a failure shows: libpcap's, or the OS error's.
std::string FailureText(const CZarnException& e) {
    if (e.HasDescription()) {
        return e.GetDescription();
    }
    return e.GetCode() != 0 ? std::strerror(e.GetCode()) : "unknown error";
}

// What the listener threw while opening a device, as the library's error type.
CZarnException CurrentFailure() {
    try {
        throw;
    } catch (const CZarnException& e) {
        return e;
    } catch (const std::bad_alloc&) {
        return CZarnException(ENOMEM);
    } catch (const std::exception& e) {
        return CZarnException(0, e.what());
    } catch (...) {
        return CZarnException(0);
    }
}

// How long the monitor waits for news before a refresh that a device's change mid-open owes.
constexpr int kOwedRefreshMs = 200;

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

std::string DescribeDeviceFailures(const std::vector<DeviceFailure>& failures) {
    const auto named = [](const std::string& strDevices, const std::string& strText) {
        // libpcap's open errors already start with the device's name.
        return strText.rfind(strDevices + ":", 0) == 0 ? strText : strDevices + ": " + strText;
    };
    const bool bAlike = std::ranges::all_of(failures, [&](const DeviceFailure& failure) {
        return FailureText(failure.error) == FailureText(failures.front().error);
    });
    std::string strMessage;
    if (bAlike && !failures.empty()) {
        // One problem on several devices (a filter that tunnels refuse) is said once.
        std::string strDevices;
        for (const DeviceFailure& failure : failures) {
            strDevices.append(strDevices.empty() ? "" : ", ").append(failure.strDevice);
        }
        return named(strDevices, FailureText(failures.front().error));
    }
    for (const DeviceFailure& failure : failures) {
        strMessage.append(strMessage.empty() ? "" : "\n")
            .append(named(failure.strDevice, FailureText(failure.error)));
    }
    return strMessage;
}

std::vector<DeviceFailure> CAdapterManager::Start(IAdapterListener* pListener) {
    // A monitor that ended after a failure is still held; a new one replaces it.
    m_thread.Stop();
    m_bStopRequested.store(false, std::memory_order_release);
    m_pListener = pListener;
    // The socket is bound before the first enumeration, so a change made meanwhile is not missed.
    auto pStopEvent = std::make_unique<CZarnEvent>();
    CZarnFd hNetlink = OpenAddressChangeSocket();
    CZarnFd hRefreshWake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!hRefreshWake.IsOpen()) {
        throw CZarnException(errno);
    }
    m_bRefreshOwed.store(false);
    std::vector<DeviceFailure> failures;
    {
        CZarnScopedLock lock(&m_lock);
        // Capture pressed again: every device gets a new chance.
        m_failures.clear();
        failures = Refresh();
        const bool bAnyRunning = std::ranges::any_of(
            m_adapters, [](const auto& pAdapter) { return pAdapter->IsRunning(); });
        if (!failures.empty() && !bAnyRunning) {
            // One problem everywhere keeps its own form; different ones become one message.
            const bool bAlike = std::ranges::all_of(failures, [&](const DeviceFailure& f) {
                return f.error.GetCode() == failures.front().error.GetCode() &&
                       f.error.HasDescription() == failures.front().error.HasDescription() &&
                       FailureText(f.error) == FailureText(failures.front().error);
            });
            throw bAlike ? failures.front().error
                         : CZarnException(0, DescribeDeviceFailures(failures).c_str());
        }
    }
    m_pStopEvent = std::move(pStopEvent);
    m_hNetlink = std::move(hNetlink);
    {
        CZarnScopedLock lock(&m_lock);
        m_hRefreshWake = std::move(hRefreshWake);
    }
    m_bMonitorRunning.store(true, std::memory_order_release);
    try {
        m_thread.Start(this);
    } catch (...) {
        m_bMonitorRunning.store(false, std::memory_order_release);
        throw;
    }
    return failures;
}

std::vector<DeviceState> CAdapterManager::GetDeviceStates() const {
    CZarnScopedLock lock(&m_lock);
    std::vector<DeviceState> states = m_deviceStates;
    // A capture that ended since (the device failed under it) no longer counts.
    for (DeviceState& state : states) {
        if (state.eState != EDeviceState::Capturing) {
            continue;
        }
        const auto it = std::ranges::find_if(
            m_adapters, [&](const auto& pAdapter) { return state.strName == pAdapter->GetName(); });
        if (it == m_adapters.end() || !(*it)->IsRunning()) {
            state.eState = EDeviceState::Failed;
            state.strError = "capture ended";
        }
    }
    return states;
}

std::set<std::string> CAdapterManager::GetExcludedDevices() const {
    CZarnScopedLock lock(&m_lock);
    return m_excluded;
}

void CAdapterManager::SetExcludedDevices(const std::set<std::string>& excluded) {
    CZarnScopedLock lock(&m_lock);
    m_excluded = excluded;
    if (m_hRefreshWake.IsOpen()) {
        const uint64_t nOne = 1;
        while (::write(m_hRefreshWake.Get(), &nOne, sizeof nOne) < 0 && errno == EINTR) {
        }
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
    m_hRefreshWake.Reset();
    for (DeviceState& state : m_deviceStates) {
        if (state.eState == EDeviceState::Capturing) {
            state.eState = EDeviceState::Stopped;
        }
    }
    // Closing a capture socket waits in the kernel for tens of milliseconds: all close at once.
    RunConcurrently(m_adapters.size(), [this](size_t i) { m_adapters[i]->Close(); });
    m_adapters.clear();
    // No capture thread is left that could still read a replaced address table.
    m_addressMap.Trim();
}

EDeviceState CAdapterManager::Judge(const pcap_if* pDevice, const CLinkTable& links) const {
    if ((pDevice->flags & PCAP_IF_LOOPBACK) != 0) {
        return EDeviceState::Loopback;
    }
    if (m_excluded.contains(pDevice->name)) {
        return EDeviceState::Excluded;
    }
    if (const LinkRecord* pLink = links.Find(pDevice->name);
        pLink != nullptr && links.IsAggregatedPort(*pLink)) {
        return EDeviceState::Port;
    }
    if ((pDevice->flags & PCAP_IF_UP) == 0) {
        return EDeviceState::Down;
    }
    return HasAddress(pDevice) ? EDeviceState::Capturing : EDeviceState::NoAddress;
}

std::vector<DeviceFailure> CAdapterManager::Refresh() {
    CZarnScopedLock lock(&m_lock);
    CDeviceList devices;
    const CLinkTable links;

    CAddressTable table;
    for (size_t i = 0; i < devices.GetCount(); ++i) {
        for (const pcap_addr_t* pEntry = devices.GetAt(i)->addresses; pEntry != nullptr;
             pEntry = pEntry->next) {
            table.Add(pEntry->addr);
            table.AddBroadcast(pEntry->broadaddr);
        }
    }
    // Published before any device is announced, so that it is complete even when one fails.
    m_addressMap.Publish(std::move(table));

    // An adapter to open, the state it shows, and what opening it threw.
    struct Announcement {
        CAdapter* pAdapter;
        size_t nState;
        std::string strSignature;
        bool bNew;
        std::optional<CZarnException> error;
    };
    std::vector<Announcement> announcements;
    std::vector<DeviceState> states;
    std::set<std::string> captured;
    for (size_t i = 0; i < devices.GetCount(); ++i) {
        const pcap_if_t* pDevice = devices.GetAt(i);
        const LinkRecord* pLink = links.Find(pDevice->name);
        if (pLink == nullptr) {
            continue; // not a network device: "any", "nflog", a bus monitor
        }
        DeviceState& state = states.emplace_back(DeviceState{
            pDevice->name, DescribeKind(*pLink, (pDevice->flags & PCAP_IF_WIRELESS) != 0),
            Judge(pDevice, links), ""});
        if (state.eState != EDeviceState::Capturing) {
            continue;
        }
        captured.insert(state.strName);
        const std::string strSignature = Signature(pDevice, pLink);
        if (const auto it = m_failures.find(state.strName);
            it != m_failures.end() && it->second.strSignature == strSignature) {
            state.eState = EDeviceState::Failed; // unchanged since it failed: not retried
            state.strError = it->second.strError;
            continue;
        }
        m_failures.erase(state.strName);
        CAdapter* pAdapter = FindAdapter(pDevice->name);
        const bool bNew = pAdapter == nullptr;
        if (bNew) {
            pAdapter = m_adapters.emplace_back(std::make_unique<CAdapter>(m_pListener)).get();
        }
        if (bNew || !pAdapter->IsRunning()) {
            announcements.push_back({pAdapter, states.size() - 1, strSignature, bNew, {}});
        }
    }

    // Opening a device waits in the kernel for tens of milliseconds: all are opened at once.
    RunConcurrently(announcements.size(), [&](size_t i) {
        Announcement& announcement = announcements[i];
        try {
            m_pListener->OnAdapterFound(announcement.pAdapter,
                                        states[announcement.nState].strName.c_str());
        } catch (...) {
            announcement.error = CurrentFailure();
        }
    });

    std::vector<DeviceFailure> failures;
    std::map<std::string, std::string> fresh;
    for (const Announcement& announcement : announcements) {
        if (!announcement.error) {
            continue;
        }
        DeviceState& state = states[announcement.nState];
        // An adapter that never opened is dropped, so no nameless adapter stays in the list.
        if (announcement.bNew && !announcement.pAdapter->IsOpen()) {
            std::erase_if(m_adapters,
                          [&](const auto& p) { return p.get() == announcement.pAdapter; });
        }
        // A device that changed since it was listed (removed, set down, flapped) may fail for
        // that alone: no failure, and the next refresh settles it.
        if (fresh.empty()) {
            fresh = FreshSignatures();
        }
        if (const auto it = fresh.find(state.strName);
            !fresh.empty() && (it == fresh.end() || it->second != announcement.strSignature)) {
            m_bRefreshOwed.store(true);
            continue;
        }
        state.eState = EDeviceState::Failed;
        state.strError = FailureText(*announcement.error);
        m_failures[state.strName] = {announcement.strSignature, state.strError};
        failures.push_back({state.strName, *announcement.error});
    }

    for (const auto& pAdapter : m_adapters) {
        if (!captured.contains(pAdapter->GetName())) {
            pAdapter->Close();
        }
    }
    m_deviceStates = std::move(states);
    return failures;
}

CAdapter* CAdapterManager::FindAdapter(const char* szDeviceName) const {
    for (const auto& pAdapter : m_adapters) {
        if (std::strcmp(pAdapter->GetName(), szDeviceName) == 0) {
            return pAdapter.get();
        }
    }
    return nullptr;
}

bool CAdapterManager::ReadAddressChanges(int nTimeoutMs) {
    pollfd waits[3] = {{m_pStopEvent->GetFd(), POLLIN, 0},
                       {m_hNetlink.Get(), POLLIN, 0},
                       {m_hRefreshWake.Get(), POLLIN, 0}};
    int nReady = 0;
    while ((nReady = ::poll(waits, 3, nTimeoutMs)) < 0) {
        if (errno != EINTR) {
            throw CZarnException(errno);
        }
    }
    if (waits[0].revents != 0) {
        return false; // stop wins
    }
    bool bChanged = nReady == 0; // the time-out of an owed refresh
    if (waits[2].revents != 0) {
        uint64_t nCount = 0;
        bChanged = ::read(m_hRefreshWake.Get(), &nCount, sizeof nCount) > 0;
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

void CAdapterManager::Run() {
    bool bRefreshOwed = false;
    while (!m_bStopRequested.load(std::memory_order_acquire)) {
        bool bChanged = false;
        try {
            bRefreshOwed = m_bRefreshOwed.exchange(false) || bRefreshOwed;
            bChanged = ReadAddressChanges(bRefreshOwed ? kOwedRefreshMs : -1);
        } catch (const CZarnException& e) {
            // The news itself failed: there is nothing left to follow.
            m_pListener->OnException(e);
            break;
        }
        if (m_bStopRequested.load(std::memory_order_acquire)) {
            break;
        }
        if (!bChanged && !bRefreshOwed) {
            continue;
        }
        bRefreshOwed = false;
        try {
            ReportFailures(Refresh());
        } catch (...) {
            // A listing that failed while devices changed again is settled by the refresh that
            // the waiting news brings. Any other failure is reported, and the monitor goes on
            // following changes with the addresses it last published.
            if (HasPendingNews()) {
                bRefreshOwed = true;
                continue;
            }
            m_pListener->OnException(CurrentFailure());
        }
    }
    m_bMonitorRunning.store(false, std::memory_order_release);
}

void CAdapterManager::ReportFailures(const std::vector<DeviceFailure>& failures) {
    for (const DeviceFailure& failure : failures) {
        m_pListener->OnException(CZarnException(0, DescribeDeviceFailures({failure}).c_str()));
    }
}

bool CAdapterManager::HasPendingNews() const {
    pollfd wait{m_hNetlink.Get(), POLLIN, 0};
    return ::poll(&wait, 1, 0) > 0 && (wait.revents & POLLIN) != 0;
}

void CAdapterManager::Stop() {
    m_bStopRequested.store(true, std::memory_order_release);
    m_pStopEvent->Set();
}
