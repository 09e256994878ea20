#include "UsageRecorder.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

// The folder must exist before the writer's lock file can be made in it; a failure shows when the
// lock cannot be opened.
const std::string& WithFolder(const std::string& strPath) {
    const std::filesystem::path folder = std::filesystem::path(strPath).parent_path();
    std::error_code ec;
    if (!folder.empty()) {
        std::filesystem::create_directories(folder, ec);
    }
    return strPath;
}

int64_t Seconds(int64_t nMs) {
    return nMs >= 0 ? nMs / 1000 : -((-nMs + 999) / 1000);
}

int64_t SecondsUp(int64_t nMs) {
    return -Seconds(-nMs);
}

// A counter's growth since it was last seen; one that went down started again from zero.
int64_t Growth(int64_t nNow, int64_t nBefore) {
    if (nNow < 0) {
        return 0;
    }
    return nNow >= nBefore ? nNow - nBefore : nNow;
}

} // namespace

CUsageRecorder::CUsageRecorder(std::string strPath, const IUsageClock& clock, NoticeFn fnNotice,
                               EMode eMode)
    : m_strPath(std::move(strPath)), m_clock(clock), m_fnNotice(std::move(fnNotice)) {
    m_nLastWallMs = m_nSpanStartMs = m_nSpanEndMs = m_clock.NowUtcMs();
    m_nLastSteadyMs = m_clock.NowSteadyMs();
    if (eMode == EMode::ReadOnly) {
        m_eState = EState::ReadOnly;
        return;
    }
    m_lock.emplace(WithFolder(m_strPath));
    if (!m_lock->IsHeld()) {
        SayLockFailure();
        return;
    }
    // Opened at once, so that a damaged file is said at the start, not ten seconds later.
    try {
        m_pStore = std::make_unique<CUsageStore>(m_strPath, CUsageStore::EAccess::Write, NowUtc(),
                                                 m_fnNotice);
    } catch (const CSqliteError& e) {
        Fail(EState::CannotWrite, "cannot write the usage file " + m_strPath + " (" + e.what() +
                                      "); counting goes on and writing is retried");
    }
}

bool CUsageRecorder::Counts() const {
    // A lock file that cannot even be opened (a read-only folder) is held by nobody else either.
    return m_lock && (m_lock->IsHeld() || !m_lock->GetError().empty());
}

void CUsageRecorder::SayLockFailure() {
    if (!m_lock->GetError().empty()) {
        Fail(EState::CannotWrite, "cannot write the usage file " + m_strPath + " (" +
                                      m_lock->GetError() +
                                      "); counting goes on and writing is retried");
        return;
    }
    m_pending.clear();
    m_pendingApps.clear();
    m_closedSpans.clear();
    Fail(EState::OtherWriter,
         "not recording usage: another Orvek" +
             (m_lock->GetHolder() > 0 ? " (process " + std::to_string(m_lock->GetHolder()) + ")"
                                      : std::string()) +
             " records into " + m_strPath);
}

void CUsageRecorder::Fail(EState eState, const std::string& strText) {
    const bool bNew = m_eState != eState || !m_bFailureSaid;
    m_eState = eState;
    m_strFailure = strText;
    if (bNew && m_fnNotice) {
        m_fnNotice(strText);
    }
    m_bFailureSaid = true;
}

std::string CUsageRecorder::DescribeState() const {
    if (m_eState == EState::Recording) {
        return "recording usage into " + m_strPath;
    }
    if (m_eState == EState::ReadOnly) {
        return "reading usage from " + m_strPath + ", which the system service records" +
               (std::filesystem::exists(m_strPath) ? "" : " (nothing recorded yet)");
    }
    return m_strFailure;
}

void CUsageRecorder::TrackTime() {
    const int64_t nWall = m_clock.NowUtcMs();
    const int64_t nSteady = m_clock.NowSteadyMs();
    const int64_t nSteadyPassed = nSteady - m_nLastSteadyMs;
    // NTP slews the wall clock by at most 0.05 %: more than that and the tolerance is a jump.
    const int64_t nTolerance = kJumpToleranceMs + nSteadyPassed / 2000;
    const int64_t nDrift = (nWall - m_nLastWallMs) - nSteadyPassed;
    if (nDrift > nTolerance || nDrift < -nTolerance) {
        if (Counts()) {
            m_closedSpans.push_back({Seconds(m_nSpanStartMs), SecondsUp(m_nSpanEndMs)});
        }
        m_nSpanStartMs = nWall;
    }
    m_nSpanEndMs = nWall;
    m_nLastWallMs = nWall;
    m_nLastSteadyMs = nSteady;
}

void CUsageRecorder::Observe(const MeterSnapshot& snapshot) {
    TrackTime();
    const bool bRecord = m_bHasBase && Counts();
    const int64_t nBucket = BucketStart(ETier::FiveMinutes, Seconds(m_nLastWallMs));
    // A device the meter no longer lists was forgotten: if it comes back, it counts from zero.
    std::erase_if(m_last, [&snapshot](const auto& entry) {
        return std::ranges::find(snapshot.devices, entry.first, &DeviceSnapshot::strName) ==
               snapshot.devices.end();
    });
    for (const DeviceSnapshot& device : snapshot.devices) {
        LastSeen& last = m_last[device.strName];
        if (!m_bHasBase) {
            // The base: counted before this process recorded.
            last = {device.nCounterId, device.nSentBytes, device.nRecvBytes};
            continue;
        }
        const auto [nSent, nRecv] =
            last.Advance(device.nCounterId, device.nSentBytes, device.nRecvBytes);
        if (bRecord && (nSent > 0 || nRecv > 0)) {
            auto& [nPendingSent, nPendingRecv] = m_pending[{nBucket, device.strName}];
            nPendingSent += nSent;
            nPendingRecv += nRecv;
        }
    }
    ObserveApps(snapshot, bRecord, BucketStart(ETier::Day, nBucket));
    m_bHasBase = true;
}

std::pair<int64_t, int64_t> CUsageRecorder::LastSeen::Advance(uint64_t nId, int64_t nNowSent,
                                                              int64_t nNowRecv) {
    // Other counters than before (the device forgotten and back, a new capture helper) started
    // from zero, even where they have already passed the old ones.
    if (nCounterId != nId) {
        *this = {nId, 0, 0};
    }
    const std::pair<int64_t, int64_t> growth{Growth(nNowSent, nSent), Growth(nNowRecv, nRecv)};
    nSent = std::max<int64_t>(nNowSent, 0);
    nRecv = std::max<int64_t>(nNowRecv, 0);
    return growth;
}

void CUsageRecorder::ObserveApps(const MeterSnapshot& snapshot, bool bRecord, int64_t nDay) {
    // Attributed rows only grow (those of ended capture helpers are carried on): rows whose sum
    // went down are another meter's, which all started from zero.
    const auto isPending = [](const AppUsage& app) {
        return app.nReason == static_cast<uint32_t>(EUnattributed::Pending);
    };
    int64_t nSumSent = 0, nSumRecv = 0;
    for (const AppUsage& app : snapshot.apps) {
        nSumSent += isPending(app) ? 0 : app.nSentBytes;
        nSumRecv += isPending(app) ? 0 : app.nRecvBytes;
    }
    if (nSumSent < m_nAppsSent || nSumRecv < m_nAppsRecv) {
        ++m_nAppCounters;
    }
    m_nAppsSent = nSumSent;
    m_nAppsRecv = nSumRecv;
    // The file keeps applications by name: the rows of one name and several owners are summed.
    std::map<std::string, std::pair<int64_t, int64_t>> byKey;
    for (const AppUsage& app : snapshot.apps) {
        // What is not attributed yet shrinks as the resolver attributes it: those bytes are
        // written when they reach their application's row (or a reason's).
        if (!isPending(app)) {
            auto& [nSent, nRecv] = byKey[ApplicationKey(app.strName, app.IsAttributed())];
            nSent += app.nSentBytes;
            nRecv += app.nRecvBytes;
        }
    }
    std::map<std::string, LastSeen> seen;
    for (const auto& [strKey, bytes] : byKey) {
        const auto [nNowSent, nNowRecv] = bytes;
        const auto itLast = m_lastApps.find(strKey);
        LastSeen& last = seen[strKey];
        if (!m_bHasBase) {
            last = {m_nAppCounters, nNowSent, nNowRecv};
            continue;
        }
        // A row not seen before starts from zero, as a device first seen does.
        last = itLast == m_lastApps.end() ? LastSeen{m_nAppCounters, 0, 0} : itLast->second;
        const auto [nSent, nRecv] = last.Advance(m_nAppCounters, nNowSent, nNowRecv);
        if (bRecord && (nSent > 0 || nRecv > 0)) {
            auto& [nPendingSent, nPendingRecv] = m_pendingApps[{nDay, strKey}];
            nPendingSent += nSent;
            nPendingRecv += nRecv;
        }
    }
    m_lastApps = std::move(seen);
}

void CUsageRecorder::Flush(bool bFinal) {
    TrackTime();
    if (!m_lock) {
        return;
    }
    if (!m_lock->IsHeld()) {
        const bool bOtherWrote = m_eState == EState::OtherWriter;
        if (!m_lock->TryAcquire()) {
            SayLockFailure();
            return;
        }
        m_pShared.reset();
        if (bOtherWrote) {
            // The other writer ended: this process records from now on, its counters so far the
            // base.
            m_nSpanStartMs = m_nSpanEndMs;
            m_closedSpans.clear();
            m_eState = EState::Recording;
            m_bFailureSaid = false;
            if (m_fnNotice) {
                m_fnNotice("recording usage into " + m_strPath + " from now on");
            }
        }
    }
    if (!bFinal && !HasPending()) {
        return;
    }
    const int64_t nNow = Seconds(m_nSpanEndMs);
    try {
        if (!m_pStore) {
            m_pStore = std::make_unique<CUsageStore>(m_strPath, CUsageStore::EAccess::Write, nNow,
                                                     m_fnNotice);
        }
        std::vector<UsageDelta> deltas;
        deltas.reserve(m_pending.size() + m_pendingApps.size());
        for (const auto& [key, bytes] : m_pending) {
            deltas.push_back({key.first, key.second, bytes.first, bytes.second});
        }
        for (const auto& [key, bytes] : m_pendingApps) {
            deltas.push_back({key.first, {}, bytes.first, bytes.second, key.second});
        }
        std::vector<RecordedSpan> spans = m_closedSpans;
        spans.push_back({Seconds(m_nSpanStartMs), SecondsUp(m_nSpanEndMs)});
        m_pStore->Write(deltas, spans, nNow);
    } catch (const CSqliteError& e) {
        const int nCode = e.GetPrimaryCode();
        if (nCode == SQLITE_CORRUPT || nCode == SQLITE_NOTADB || nCode == SQLITE_IOERR) {
            // Opened again at the next write, which checks the file and moves it aside if needed.
            m_pStore.reset();
        }
        Fail(EState::CannotWrite, "cannot write the usage file " + m_strPath + " (" + e.what() +
                                      "); counting goes on and writing is retried");
        return;
    }
    m_pending.clear();
    m_pendingApps.clear();
    m_closedSpans.clear();
    m_eState = EState::Recording;
    m_bFailureSaid = false;
}

std::vector<RecordedSpan> CUsageRecorder::GetPendingSpans() const {
    if (!Counts()) {
        return {};
    }
    std::vector<RecordedSpan> spans = m_closedSpans;
    spans.push_back({Seconds(m_nSpanStartMs), SecondsUp(m_nSpanEndMs)});
    return spans;
}

CUsageStore* CUsageRecorder::GetStore() {
    if (m_lock && m_lock->IsHeld()) {
        return m_pStore.get();
    }
    if (!m_pShared) {
        try {
            if (std::filesystem::exists(m_strPath)) {
                m_pShared = std::make_unique<CUsageStore>(
                    m_strPath, m_lock ? CUsageStore::EAccess::Share : CUsageStore::EAccess::Read,
                    NowUtc());
            }
        } catch (const CSqliteError&) {
            return nullptr;
        }
    }
    return m_pShared.get();
}
