#pragma once

#include "AppResolver.h"
#include "AppUsage.h"
#include "MeterSnapshot.h"

#include <vector>

// The application rows: owns the resolver that books the devices' flows to applications, starts
// and rests it with capture, and gives rows that add up to the totals.
class CAppRows {
public:
    CAppRows() = default;
    CAppRows(const CAppRows&) = delete;
    CAppRows& operator=(const CAppRows&) = delete;

    // The resolver, for the devices' flow taps and the tunnels' outer flows, which it outlives.
    CAppResolver& GetResolver() { return m_resolver; }
    // Controlling thread, before capture starts: the resolver's worker runs (throws
    // CZarnException when no thread can be made).
    void Start();
    // Controlling thread, once no capture thread runs: what the taps still hold is resolved, so
    // that the rows add up to the totals, and the worker rests until the next Start.
    void Stop();
    // Any thread: the rows so far; read before the counters, which then hold at least as much.
    // (BalanceAppRows then makes them add up to the totals.)
    std::vector<AppUsage> ReadRows() const;
    // Any thread: the connections with the most bytes, at most kMaxSnapshotConnections, and how
    // many more there are.
    std::vector<ConnectionUsage> ReadConnections(int64_t& nOthers) const;

private:
    CAppResolver m_resolver;
};
