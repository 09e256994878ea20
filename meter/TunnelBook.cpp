#include "TunnelBook.h"

#include "AppResolver.h"

#include <algorithm>

void CTunnelBook::NoteOpened(const std::string& strTunnel, uint64_t nCounterId,
                             const OuterFlow& outer) {
    std::lock_guard<std::mutex> guard(m_mtx);
    if (const auto it = m_counterIds.find(strTunnel);
        it != m_counterIds.end() && it->second != nCounterId && m_outerFlows.erase(strTunnel)) {
        // Forgotten and opened again before Forget was told: measured from zero all the same.
        m_resolver.SetOuterFlows(m_outerFlows);
    }
    m_counterIds[strTunnel] = nCounterId;
    if (m_outerFlows[strTunnel] != outer) {
        m_outerFlows[strTunnel] = outer;
        m_resolver.SetOuterFlows(m_outerFlows);
    }
}

void CTunnelBook::Forget(const std::vector<DeviceCounts>& forgotten) {
    std::lock_guard<std::mutex> guard(m_mtx);
    for (const DeviceCounts& device : forgotten) {
        const auto it = m_counterIds.find(device.strName);
        if (it == m_counterIds.end() || it->second != device.nCounterId) {
            continue; // never a tunnel, or opened again since on other counters
        }
        m_counterIds.erase(it);
        if (m_outerFlows.erase(device.strName) != 0) {
            m_resolver.SetOuterFlows(m_outerFlows); // back later, it measures from zero
        }
    }
}

CTunnelBook::OuterBytes CTunnelBook::ReadOuterBytes() const {
    return m_resolver.GetOuterBytes();
}

void CTunnelBook::FillOuter(std::vector<DeviceSnapshot>& devices,
                            const OuterBytes& outerBytes) const {
    std::lock_guard<std::mutex> guard(m_mtx);
    for (DeviceSnapshot& device : devices) {
        if (const auto itOuter = m_outerFlows.find(device.strName);
            itOuter != m_outerFlows.end() && IsOuterKnown(device.strName, itOuter->second)) {
            device.bOuterKnown = true;
            if (const auto itBytes = outerBytes.find(device.strName); itBytes != outerBytes.end()) {
                device.nOuterSentBytes = itBytes->second.first;
                device.nOuterRecvBytes = itBytes->second.second;
            }
        }
    }
}

bool CTunnelBook::IsOuterKnown(const std::string& strTunnel, const OuterFlow& outer) const {
    if (outer.nPort == 0) {
        return false;
    }
    // Two tunnels whose outer packets look alike (one port, a peer not told apart) cannot be
    // split: their outer flows would count for both.
    return std::ranges::none_of(m_outerFlows, [&](const auto& entry) {
        const OuterFlow& other = entry.second;
        return entry.first != strTunnel && other.nPort == outer.nPort &&
               other.nProtocol == outer.nProtocol &&
               (other.nRemoteFamily == 0 || outer.nRemoteFamily == 0 ||
                (other.nRemoteFamily == outer.nRemoteFamily && other.aRemote == outer.aRemote));
    });
}
