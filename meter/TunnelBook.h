#pragma once

#include "AdapterListener.h"
#include "CountingBackend.h"
#include "MeterSnapshot.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class CAppResolver;

// The tunnels' outer flows: how each device opened as a tunnel tells the outer packets that carry
// it, handed to the resolver, which measures them, and whether they can be told apart from
// another tunnel's. A tunnel's outer bytes less its inner ones are its overhead.
class CTunnelBook {
public:
    // Per tunnel: its outer bytes so far, sent and received.
    using OuterBytes = std::map<std::string, std::pair<int64_t, int64_t>>;

    // The resolver outlives the book.
    explicit CTunnelBook(CAppResolver& resolver) : m_resolver(resolver) {}
    CTunnelBook(const CTunnelBook&) = delete;
    CTunnelBook& operator=(const CTunnelBook&) = delete;

    // Refreshing thread, as a tunnel is opened on the counters nCounterId: its outer flow is
    // measured from then on.
    void NoteOpened(const std::string& strTunnel, uint64_t nCounterId, const OuterFlow& outer);
    // Any thread but a capture thread: the forgotten devices' tunnels are no longer measured;
    // back later, they measure from zero.
    void Forget(const std::vector<DeviceCounts>& forgotten);
    // Any thread: every measured tunnel's outer bytes so far.
    OuterBytes ReadOuterBytes() const;
    // Any thread but a capture thread: marks each tunnel among devices whose outer flow is
    // known, with its outer bytes.
    void FillOuter(std::vector<DeviceSnapshot>& devices, const OuterBytes& outerBytes) const;

private:
    // Whether a tunnel's outer flow can be measured: told by a port, and not alike another
    // tunnel's; m_mtx held.
    bool IsOuterKnown(const std::string& strTunnel, const OuterFlow& outer) const;

    CAppResolver& m_resolver;
    mutable std::mutex m_mtx;
    // How each device opened as a tunnel tells its outer flow, and the counters it was opened on;
    // guarded by m_mtx.
    std::map<std::string, OuterFlow> m_outerFlows;
    std::map<std::string, uint64_t> m_counterIds;
};
