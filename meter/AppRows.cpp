#include "AppRows.h"

void CAppRows::Start() {
    m_resolver.Start();
}

void CAppRows::Stop() {
    m_resolver.StopWorker();
    m_resolver.DrainStopped();
}

std::vector<AppUsage> CAppRows::ReadRows() const {
    return m_resolver.GetUsage();
}

std::vector<ConnectionUsage> CAppRows::ReadConnections(int64_t& nOthers) const {
    return m_resolver.GetConnections(kMaxSnapshotConnections, nOthers);
}
