#include "AdapterManager.h"

#include "DeviceList.h"
#include "LinkTable.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <netinet/in.h>
#include <optional>
#include <pcap/pcap.h>

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

// Every device's signature in a fresh listing, for those up. Empty when no listing can be made:
// then nothing shows a change.
std::map<std::string, std::string> FreshSignatures() {
    std::map<std::string, std::string> signatures;
    try {
        const CDeviceList devices;
        const CLinkTable links;
        for (size_t i = 0; i < devices.GetCount(); ++i) {
            const pcap_if_t* pDevice = devices.GetAt(i);
            if ((pDevice->flags & PCAP_IF_UP) != 0) {
                signatures[pDevice->name] = DeviceSignature(pDevice, links.Find(pDevice->name));
            }
        }
    } catch (const CZarnException&) {
        signatures.clear();
    }
    return signatures;
}

} // namespace

// The model keeps libpcap's codes as numbers for the programs that never capture.
static_assert(kCapturePermissionDenied == PCAP_ERROR_PERM_DENIED);
static_assert(kPromiscuousPermissionDenied == PCAP_ERROR_PROMISC_PERM_DENIED);

CAdapterManager::~CAdapterManager() {
    StopAll();
}

std::vector<DeviceFailure> CAdapterManager::Start(IAdapterListener* pListener) {
    // A monitor that ended after a failure is still held; a new one replaces it.
    std::unique_ptr<CAddressMonitor> pOldMonitor;
    {
        std::lock_guard state(m_mtxState);
        pOldMonitor = std::move(m_pMonitor);
    }
    pOldMonitor.reset();

    std::lock_guard refresh(m_mtxRefresh);
    m_pListener = pListener;
    // Bound before the first listing, so that a change made meanwhile is not missed.
    auto pMonitor =
        std::make_unique<CAddressMonitor>(static_cast<CAddressMonitor::IClient&>(*this));
    // Capture pressed again: every device gets a new chance.
    m_failures.Clear();
    RefreshResult result = Refresh();
    const bool bAnyRunning = std::ranges::any_of(
        m_adapters, [](const auto& entry) { return entry.second->IsRunning(); });
    if (!result.failures.empty() && !bAnyRunning) {
        // One problem everywhere keeps its own form; different ones become one message.
        const DeviceFailure& first = result.failures.front();
        const bool bAlike = std::ranges::all_of(result.failures, [&](const DeviceFailure& f) {
            return f.error.GetCode() == first.error.GetCode() &&
                   f.error.HasDescription() == first.error.HasDescription() &&
                   DescribeError(f.error) == DescribeError(first.error);
        });
        if (bAlike && first.error.HasDescription()) {
            throw first.error;
        }
        // An OS error carries no text of its own: the message names the devices it stopped.
        throw CZarnException(bAlike ? first.error.GetCode() : 0,
                             DescribeDeviceFailures(result.failures).c_str());
    }
    pMonitor->Start(result.nRefreshOwedMs);
    std::lock_guard state(m_mtxState);
    m_pMonitor = std::move(pMonitor);
    return std::move(result.failures);
}

void CAdapterManager::StopAll() {
    // The monitor goes first, so that no refresh works on the adapters while they are closed and
    // none can open new ones afterwards. It may be refreshing: no lock is held while it ends.
    std::unique_ptr<CAddressMonitor> pMonitor;
    {
        std::lock_guard state(m_mtxState);
        pMonitor = std::move(m_pMonitor);
    }
    pMonitor.reset();

    std::lock_guard refresh(m_mtxRefresh);
    std::vector<std::unique_ptr<CAdapter>> adapters;
    {
        std::lock_guard state(m_mtxState);
        for (DeviceState& state : m_deviceStates) {
            if (state.eState == EDeviceState::Capturing) {
                state.eState = EDeviceState::Stopped;
            }
        }
        for (auto& [strName, pAdapter] : m_adapters) {
            adapters.push_back(std::move(pAdapter));
        }
        m_adapters.clear();
    }
    // Closing a capture socket waits in the kernel for tens of milliseconds: all close at once.
    RunConcurrently(adapters.size(), [&adapters](size_t i) { adapters[i]->Close(); });
    adapters.clear();
    m_openedRole.clear();
    // No capture thread is left that could still read a replaced address table.
    m_addressMap.Trim();
}

std::vector<DeviceState> CAdapterManager::GetDeviceStates() const {
    std::lock_guard state(m_mtxState);
    std::vector<DeviceState> states = m_deviceStates;
    // A capture that ended since (the device failed under it) no longer counts.
    for (DeviceState& device : states) {
        if (device.eState != EDeviceState::Capturing &&
            (device.eState != EDeviceState::Carried || !m_pMonitor)) {
            continue;
        }
        const CAdapter* pAdapter = FindAdapter(device.strName);
        if (pAdapter == nullptr || !pAdapter->IsRunning()) {
            device.eState = EDeviceState::Failed;
            device.strError = "capture ended";
        }
    }
    return states;
}

void CAdapterManager::RefreshDeviceStates() {
    {
        std::lock_guard state(m_mtxState);
        if (m_pMonitor) {
            return; // capturing: the monitor's refreshes keep the states
        }
    }
    // Start and StopAll hold it while they list and open: their states will do.
    std::unique_lock refresh(m_mtxRefresh, std::try_to_lock);
    if (!refresh.owns_lock()) {
        return;
    }
    const CDeviceList devices;
    const CLinkTable links;
    const auto& userTunnels = m_userTunnels.Update(links, std::chrono::steady_clock::now());
    std::vector<DeviceState> judgedStates =
        Judge(devices, links, CopyUserChoices(), userTunnels, {}).states;
    std::lock_guard state(m_mtxState);
    std::vector<DeviceState> states;
    for (DeviceState& judged : judgedStates) {
        if (judged.strName.empty()) {
            continue; // not a network device
        }
        if (judged.eState == EDeviceState::Capturing) {
            // What the last capture left stopped still says so.
            const auto itBefore =
                std::ranges::find(m_deviceStates, judged.strName, &DeviceState::strName);
            judged.eState =
                itBefore != m_deviceStates.end() && itBefore->eState == EDeviceState::Stopped
                    ? EDeviceState::Stopped
                    : EDeviceState::Ready;
        }
        states.push_back(std::move(judged));
    }
    m_deviceStates = std::move(states);
}

void CAdapterManager::SetNotTunnels(const std::set<std::string>& devices) {
    std::lock_guard state(m_mtxState);
    if (devices == m_notTunnels) {
        return;
    }
    m_notTunnels = devices;
    if (m_pMonitor) {
        m_pMonitor->RequestRefresh();
    }
}

std::set<std::string> CAdapterManager::GetExcludedDevices() const {
    std::lock_guard state(m_mtxState);
    return m_excluded;
}

void CAdapterManager::SetExcludedDevices(const std::set<std::string>& excluded) {
    std::lock_guard state(m_mtxState);
    // A device the user excluded and admitted again gets a new chance, as at a new Capture.
    for (const std::string& strDevice : m_excluded) {
        if (!excluded.contains(strDevice)) {
            m_readmitted.insert(strDevice);
        }
    }
    m_excluded = excluded;
    if (m_pMonitor) {
        m_pMonitor->RequestRefresh();
    }
}

void CAdapterManager::SetChosenTunnels(const std::map<std::string, std::string>& tunnels) {
    std::lock_guard state(m_mtxState);
    m_chosenTunnels = tunnels;
    if (m_pMonitor) {
        m_pMonitor->RequestRefresh();
    }
}

bool CAdapterManager::IsMonitorRunning() const {
    std::lock_guard state(m_mtxState);
    return m_pMonitor && m_pMonitor->IsRunning();
}

bool CAdapterManager::IsMonitorUp() const {
    std::lock_guard state(m_mtxState);
    return !m_pMonitor || m_pMonitor->IsUp();
}

void CAdapterManager::CloseMonitorNewsForTest() {
    std::lock_guard state(m_mtxState);
    if (m_pMonitor) {
        m_pMonitor->CloseNewsForTest();
    }
}

CAdapterManager::UserChoices CAdapterManager::CopyUserChoices() const {
    std::lock_guard state(m_mtxState);
    return {m_excluded, m_notTunnels, m_chosenTunnels};
}

CAdapterManager::Judgement
CAdapterManager::Judge(const CDeviceList& devices, const CLinkTable& links,
                       const UserChoices& choices,
                       const std::map<std::string, TunVerdict>& userTunnels,
                       const std::map<std::string, std::string>& failed) {
    const auto& [excluded, notTunnels, chosen] = choices;
    std::vector<DeviceState> states(devices.GetCount(), {"", "", EDeviceState::Down, ""});
    std::vector<OuterFlow> outers(devices.GetCount());
    // The carrier of each device that is a tunnel, whatever its state ("" when unknown).
    std::vector<std::optional<std::string>> carriers(devices.GetCount());
    std::map<std::string, size_t> byName;
    for (size_t i = 0; i < devices.GetCount(); ++i) {
        const pcap_if_t* pDevice = devices.GetAt(i);
        const LinkRecord* pLink = links.Find(pDevice->name);
        if (pLink == nullptr) {
            continue; // not a network device: "any", "nflog", a bus monitor
        }
        EDeviceState eState = EDeviceState::Capturing;
        if ((pDevice->flags & PCAP_IF_LOOPBACK) != 0) {
            eState = EDeviceState::Loopback;
        } else if (excluded.contains(pDevice->name)) {
            eState = EDeviceState::Excluded;
        } else if (links.IsAggregatedPort(*pLink)) {
            eState = EDeviceState::Port;
        } else if ((pDevice->flags & PCAP_IF_UP) == 0) {
            eState = EDeviceState::Down;
        } else if (!HasAddress(pDevice)) {
            eState = EDeviceState::NoAddress;
        }
        std::string strReason;
        bool bChosen = false;
        OuterFlow outer = pLink->outer;
        // A tunnel's packets leave the host inside outer packets of its own, which count where
        // they leave: a kernel tunnel's, and a user-space tunnel's, which its holder sends over a
        // socket. The user's word counts over what the system says.
        if (const auto itChosen = chosen.find(pDevice->name); itChosen != chosen.end()) {
            carriers[i] = itChosen->second;
            bChosen = true;
        } else if (IsKernelTunnel(*pLink)) {
            const LinkRecord* pCarrier = links.FindCarrier(*pLink);
            carriers[i] = pCarrier != nullptr ? pCarrier->strName : "";
        } else if (const auto itTun = userTunnels.find(pDevice->name); itTun != userTunnels.end()) {
            strReason = itTun->second.strReason;
            if (notTunnels.contains(pDevice->name)) {
                strReason = "set by the user";
            } else if (!itTun->second.strCarrier.empty()) {
                carriers[i] = itTun->second.strCarrier;
                outer = itTun->second.outer;
            }
        }
        if (eState == EDeviceState::Capturing && carriers[i]) {
            eState = EDeviceState::Carried;
        }
        const auto itFailed = failed.find(pDevice->name);
        if ((eState == EDeviceState::Capturing || eState == EDeviceState::Carried) &&
            itFailed != failed.end()) {
            eState = EDeviceState::Failed; // unchanged since it failed: not retried
            strReason.clear();
        }
        states[i] = {pDevice->name,
                     DescribeKind(*pLink, (pDevice->flags & PCAP_IF_WIRELESS) != 0),
                     eState,
                     eState == EDeviceState::Carried  ? *carriers[i]
                     : eState == EDeviceState::Failed ? itFailed->second
                                                      : "",
                     bChosen,
                     strReason};
        outers[i] = bChosen ? OuterFlow{} : outer;
        byName[pDevice->name] = i;
    }
    // The lowest device of each stacked one that would be captured, if listed.
    const auto lowest = [&](size_t i) -> DeviceState* {
        const LinkRecord* pLink = links.Find(states[i].strName.c_str());
        const LinkRecord* pLowest = pLink != nullptr ? links.FindLowest(*pLink) : nullptr;
        const auto it = pLowest != nullptr ? byName.find(pLowest->strName) : byName.end();
        return it != byName.end() ? &states[it->second] : nullptr;
    };
    // A stacked device's frames cross its lowest device, whose capture counts them once: an
    // address on the stacked device alone makes it captured, or carried when it is a tunnel.
    for (size_t i = 0; i < states.size(); ++i) {
        if (states[i].eState == EDeviceState::Capturing) {
            if (DeviceState* pLowest = lowest(i);
                pLowest != nullptr && pLowest->eState == EDeviceState::NoAddress) {
                const auto& carrier = carriers[static_cast<size_t>(pLowest - states.data())];
                const auto itFailed = failed.find(pLowest->strName);
                pLowest->eState = itFailed != failed.end() ? EDeviceState::Failed
                                  : carrier                ? EDeviceState::Carried
                                                           : EDeviceState::Capturing;
                pLowest->strError = itFailed != failed.end() ? itFailed->second
                                    : carrier                ? *carrier
                                                             : "";
            }
        }
    }
    for (size_t i = 0; i < states.size(); ++i) {
        if (states[i].eState == EDeviceState::Capturing ||
            states[i].eState == EDeviceState::NoAddress) {
            if (const DeviceState* pLowest = lowest(i);
                pLowest != nullptr && pLowest->eState == EDeviceState::Capturing) {
                states[i].eState = EDeviceState::Stacked;
                states[i].strError = pLowest->strName;
            } else if (const auto& carrier =
                           pLowest != nullptr
                               ? carriers[static_cast<size_t>(pLowest - states.data())]
                               : std::nullopt;
                       carrier && (pLowest->eState == EDeviceState::Carried ||
                                   pLowest->eState == EDeviceState::Failed)) {
                // Stacked on a tunnel: its frames are the tunnel's inner ones, also when the
                // tunnel's own capture failed.
                states[i].eState = EDeviceState::Carried;
                states[i].strError = *carrier;
                states[i].strReason = "stacked on " + pLowest->strName;
            }
        }
    }
    return {std::move(states), std::move(outers)};
}

CAdapterManager::RefreshResult CAdapterManager::Refresh() {
    RefreshResult result = RefreshOnce();
    if (result.bStackedOnFailed) {
        // The failed devices are remembered now: this pass opens what is stacked on them.
        RefreshResult again = RefreshOnce();
        result.failures.insert(result.failures.end(), again.failures.begin(), again.failures.end());
        result.nRefreshOwedMs = again.nRefreshOwedMs;
    }
    return result;
}

CAdapterManager::RefreshResult CAdapterManager::RefreshOnce() {
    const CDeviceList devices;
    const CLinkTable links;
    const UserChoices choices = CopyUserChoices();
    {
        // The failures of devices the user admitted again are forgotten; one admitted after the
        // copy above is tried afresh by the refresh its admission asks for.
        std::lock_guard state(m_mtxState);
        for (const std::string& strDevice : m_readmitted) {
            m_failures.Forget(strDevice);
        }
        m_readmitted.clear();
    }

    CAddressTable table;
    for (size_t i = 0; i < devices.GetCount(); ++i) {
        for (const pcap_addr_t* pEntry = devices.GetAt(i)->addresses; pEntry != nullptr;
             pEntry = pEntry->next) {
            table.Add(pEntry->addr);
            table.AddBroadcast(pEntry->broadaddr);
        }
    }
    // Published before any device opens, so that it is complete even when one fails. Only
    // adapters of this manager read tables, and they are deleted only after Trim (StopAll) or
    // before they ever ran (never opened).
    CAddressMap::Readers readers;
    for (const auto& [strName, pAdapter] : m_adapters) {
        readers.push_back(&pAdapter->GetBatchMark());
    }
    m_addressMap.Publish(std::move(table), readers);

    // An adapter to open, the state it shows, the role it opens in (a tunnel's, with its outer
    // flow, or none), and what asking for it or opening it threw.
    struct Announcement {
        CAdapter* pAdapter;
        size_t nState;
        std::string strSignature;
        bool bNew;
        std::optional<OuterFlow> role;
        std::optional<CZarnException> error;
        bool bLargeRing = false;
    };
    std::vector<Announcement> announcements;
    std::vector<DeviceState> states;
    std::set<std::string> captured;
    // Devices unchanged since they failed are not tried again, and what is stacked on them counts
    // on its own.
    std::map<std::string, std::string> failed;
    for (size_t i = 0; i < devices.GetCount(); ++i) {
        const pcap_if_t* pDevice = devices.GetAt(i);
        if (const std::string* pError = m_failures.FindUnchanged(
                pDevice->name, DeviceSignature(pDevice, links.Find(pDevice->name)))) {
            failed[pDevice->name] = *pError;
        }
    }
    const auto tNow = std::chrono::steady_clock::now();
    auto [judged, outers] =
        Judge(devices, links, choices, m_userTunnels.Update(links, tNow), failed);
    for (size_t i = 0; i < devices.GetCount(); ++i) {
        const pcap_if_t* pDevice = devices.GetAt(i);
        const LinkRecord* pLink = links.Find(pDevice->name);
        if (judged[i].strName.empty()) {
            continue; // not a network device: "any", "nflog", a bus monitor
        }
        DeviceState& state = states.emplace_back(std::move(judged[i]));
        const bool bCarried = state.eState == EDeviceState::Carried;
        if (failed.contains(state.strName)) {
            captured.insert(state.strName); // its adapter, if any, is left as it is
        }
        if (state.eState != EDeviceState::Capturing && !bCarried) {
            continue;
        }
        captured.insert(state.strName);
        std::string strSignature = DeviceSignature(pDevice, pLink);
        CAdapter* pAdapter = FindAdapter(state.strName);
        const std::optional<OuterFlow> role = bCarried ? std::optional(outers[i]) : std::nullopt;
        if (pAdapter != nullptr && pAdapter->IsRunning() && m_openedRole[state.strName] != role) {
            pAdapter->Close(); // opened afresh below, with the analyzer of its new role
        }
        const bool bNew = pAdapter == nullptr;
        if (bNew) {
            auto pNew = std::make_unique<CAdapter>(state.strName);
            pAdapter = pNew.get();
            std::lock_guard guard(m_mtxState);
            m_adapters.emplace(state.strName, std::move(pNew));
        }
        if (bNew || !pAdapter->IsRunning()) {
            announcements.push_back(
                {pAdapter, states.size() - 1, std::move(strSignature), bNew, role, std::nullopt});
        }
    }
    // Rings of the default size while fewer than the limit are open, for devices that are not
    // virtual first: an uplink keeps its room when containers come and go beside it.
    size_t nLarge = std::ranges::count_if(m_adapters, [](const auto& entry) {
        return entry.second->IsRunning() && entry.second->HasLargeRing();
    });
    for (const bool bVirtual : {false, true}) {
        for (Announcement& announcement : announcements) {
            if ((states[announcement.nState].strKind == "virtual") == bVirtual &&
                nLarge < m_nLargeRings) {
                announcement.bLargeRing = true;
                ++nLarge;
            }
        }
    }

    // Opening a device waits in the kernel for tens of milliseconds: all are opened at once.
    RunConcurrently(announcements.size(), [&](size_t i) {
        Announcement& announcement = announcements[i];
        try {
            CaptureRequest request = m_pListener->OnAdapterFound(
                announcement.pAdapter->GetName(), announcement.role.has_value(),
                announcement.role.value_or(OuterFlow{}));
            request.bSmallRing = !announcement.bLargeRing;
            announcement.pAdapter->Open(request);
        } catch (...) {
            announcement.error = CurrentError();
        }
    });

    for (const Announcement& announcement : announcements) {
        if (!announcement.error) {
            m_openedRole[announcement.pAdapter->GetName()] = announcement.role;
        }
    }
    RefreshResult result;
    std::map<std::string, std::string> fresh;
    std::vector<const CAdapter*> vecNeverOpened;
    for (const Announcement& announcement : announcements) {
        if (!announcement.error) {
            continue;
        }
        DeviceState& state = states[announcement.nState];
        // An adapter that never opened is dropped, so that the list holds only real captures.
        if (announcement.bNew && !announcement.pAdapter->IsOpen()) {
            vecNeverOpened.push_back(announcement.pAdapter);
        }
        // A device that changed since it was listed (removed, set down, flapped) may fail for
        // that alone: no failure, and the next refresh settles it.
        if (fresh.empty()) {
            fresh = FreshSignatures();
        }
        if (const auto it = fresh.find(state.strName);
            !fresh.empty() && (it == fresh.end() || it->second != announcement.strSignature)) {
            result.nRefreshOwedMs = CAddressMonitor::kOwedRefreshMs;
            continue;
        }
        state.eState = EDeviceState::Failed;
        state.strError = DescribeError(*announcement.error);
        m_failures.Record(state.strName, announcement.strSignature, state.strError);
        result.failures.push_back({state.strName, *announcement.error});
        // What is stacked on it counts on its own, opened by the next pass.
        result.bStackedOnFailed |= std::ranges::any_of(states, [&](const DeviceState& other) {
            return other.eState == EDeviceState::Stacked && other.strError == state.strName;
        });
    }

    std::vector<std::unique_ptr<CAdapter>> dropped;
    {
        std::lock_guard guard(m_mtxState);
        for (auto it = m_adapters.begin(); it != m_adapters.end();) {
            if (std::ranges::find(vecNeverOpened, it->second.get()) != vecNeverOpened.end()) {
                dropped.push_back(std::move(it->second));
                it = m_adapters.erase(it);
            } else {
                ++it;
            }
        }
        m_deviceStates = std::move(states);
    }
    for (const auto& [strName, pAdapter] : m_adapters) {
        if (!captured.contains(strName)) {
            pAdapter->Close();
        }
    }
    // Tun devices are looked at again: a VPN may connect later, or to another server.
    if (const auto tNext = m_userTunnels.GetNextCheck();
        result.nRefreshOwedMs < 0 && tNext != std::chrono::steady_clock::time_point::max()) {
        result.nRefreshOwedMs = static_cast<int>(std::max<int64_t>(
            0, std::chrono::ceil<std::chrono::milliseconds>(tNext - tNow).count()));
    }
    return result;
}

CAdapter* CAdapterManager::FindAdapter(const std::string& strDeviceName) const {
    const auto it = m_adapters.find(strDeviceName);
    return it == m_adapters.end() ? nullptr : it->second.get();
}

void CAdapterManager::SetLargeRingLimit(size_t nLargeRings) {
    std::lock_guard refresh(m_mtxRefresh);
    m_nLargeRings = nLargeRings;
}

int CAdapterManager::OnAddressChange() {
    std::lock_guard refresh(m_mtxRefresh);
    RefreshResult result = Refresh();
    // Devices that failed together (a filter that every new tunnel refuses) are one message; one
    // code shared by all keeps the advice it brings.
    if (!result.failures.empty()) {
        const int32_t nCode = result.failures.front().error.GetCode();
        const bool bOneCode = std::ranges::all_of(result.failures, [nCode](const DeviceFailure& f) {
            return f.error.GetCode() == nCode;
        });
        m_pListener->OnException(
            CZarnException(bOneCode ? nCode : 0, DescribeDeviceFailures(result.failures).c_str()));
    }
    return result.nRefreshOwedMs;
}

void CAdapterManager::OnMonitorFailure(const CZarnException& e, bool bRestarting) {
    // The listener is set before the monitor starts and stays until it has ended.
    if (!bRestarting) {
        m_pListener->OnException(e);
        return;
    }
    const std::string strText = "Following the host's devices and addresses failed (" +
                                DescribeError(e) +
                                "); it restarts by itself, and until then devices that appear or "
                                "change are not opened or closed.";
    m_pListener->OnException(CZarnException(e.GetCode(), strText.c_str()));
}
