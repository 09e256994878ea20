#include "AppResolver.h"

#include "ZarnException.h"

#include <algorithm>
#include <cerrno>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_set>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kQueryBatch = 64;
constexpr size_t kReceiveBytes = 64 * 1024;
// A flow whose socket was not found is asked for again at most this often.
constexpr std::chrono::seconds kRetryPause{1};
// Listening and unconnected sockets are listed again at most this often, when a flow needs them:
// briefly, as a socket bound since the last list may take the flows of a few milliseconds.
constexpr std::chrono::milliseconds kBoundPause{20};
// The host's addresses are read again at most this often, or after kHostMissPause for a flow's
// local address not among them (one just added).
constexpr std::chrono::seconds kHostPause{1};
constexpr std::chrono::milliseconds kHostMissPause{100};
constexpr uint32_t kReasonRows = static_cast<uint32_t>(EUnattributed::Count);
constexpr uint32_t kClosed = static_cast<uint32_t>(EUnattributed::Closed);
constexpr uint32_t kNoSocket = static_cast<uint32_t>(EUnattributed::NoSocket);
constexpr uint32_t kTableFull = static_cast<uint32_t>(EUnattributed::TableFull);
constexpr uint32_t kUnavailable = static_cast<uint32_t>(EUnattributed::Unavailable);

bool IsReason(uint32_t nRow) {
    return nRow < kReasonRows;
}

// Whether a flow's row says no socket had it when it was asked for.
bool IsGone(uint32_t nRow) {
    return nRow == kClosed || nRow == kNoSocket;
}

std::string UserName(uint32_t nUid) {
    passwd entry{};
    passwd* pEntry = nullptr;
    char szBuffer[1024];
    if (::getpwuid_r(nUid, &entry, szBuffer, sizeof szBuffer, &pEntry) == 0 && pEntry != nullptr) {
        return std::string("user ") + pEntry->pw_name;
    }
    return "uid " + std::to_string(nUid);
}

uint32_t ReadIPv4(const FlowKey& key) {
    uint32_t nAddress = 0;
    std::memcpy(&nAddress, key.aLocal.data(), 4);
    return nAddress;
}

bool IsZero(const uint8_t* pb, size_t nBytes) {
    for (size_t n = 0; n < nBytes; ++n) {
        if (pb[n] != 0) {
            return false;
        }
    }
    return true;
}

// A flow's ends as the socket diagnostics' requests take them.
SocketRecord EndsOf(const FlowKey& key) {
    SocketRecord ends;
    ends.nFamily = key.IsIPv6() ? AF_INET6 : AF_INET;
    ends.aLocal = key.aLocal;
    ends.aRemote = key.aRemote;
    ends.nLocalPort = key.nLocalPort;
    ends.nRemotePort = key.nRemotePort;
    return ends;
}

// How well a bound socket's local address fits a flow's: 2 the same, 1 any address, 0 not.
int AddressFit(const SocketRecord& socket, const FlowKey& key) {
    if (socket.nFamily == AF_INET) {
        if (key.IsIPv6()) {
            return 0;
        }
        return std::memcmp(socket.aLocal.data(), key.aLocal.data(), 4) == 0 ? 2
               : IsZero(socket.aLocal.data(), 4)                            ? 1
                                                                            : 0;
    }
    if (IsZero(socket.aLocal.data(), 16)) {
        return 1; // a dual-stack socket on any address takes IPv4 too
    }
    if (key.IsIPv6()) {
        return socket.aLocal == key.aLocal ? 2 : 0;
    }
    return IsIPv4Mapped(socket.aLocal) &&
                   std::memcmp(socket.aLocal.data() + 12, key.aLocal.data(), 4) == 0
               ? 2
               : 0;
}

} // namespace

CAppResolver::CAppResolver(std::string strCgroupRoot)
    : m_cgroups(std::move(strCgroupRoot)), m_nOwnUid(::getuid()) {
    m_vecRows.resize(kReasonRows);
    for (uint32_t n = 0; n < kReasonRows; ++n) {
        m_vecRows[n].strName = DescribeUnattributed(static_cast<EUnattributed>(n));
        m_vecRows[n].nReason = n;
    }
}

bool CAppResolver::OpenDiag() {
    // Once, at the first flow: meters that never capture open nothing.
    if (!m_bDiagTried) {
        m_bDiagTried = true;
        m_fdDiag.Reset(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
        if (m_fdDiag.IsOpen()) {
            // A kernel that does not answer in time leaves the flows unresolved, never the
            // worker stuck.
            const timeval timeout{1, 0};
            ::setsockopt(m_fdDiag.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        }
    }
    return m_fdDiag.IsOpen();
}

CAppResolver::~CAppResolver() {
    m_thread.Stop();
}

void CAppResolver::AddTap(CFlowTap* pTap) {
    std::lock_guard<std::mutex> guard(m_mtxWork);
    m_vecTaps.push_back(pTap);
}

void CAppResolver::RemoveTap(CFlowTap* pTap) {
    std::lock_guard<std::mutex> guard(m_mtxWork);
    DrainTap(*pTap);
    std::erase(m_vecTaps, pTap);
}

void CAppResolver::DrainTap(CFlowTap& tap) {
    ResolveStarts();
    if (const CFlowTable* pTable = tap.Take()) {
        Process(*pTable);
        tap.GiveBack();
    }
    CFlowTable& filling = tap.TakeFillingWhileStopped();
    Process(filling);
    filling.Clear();
}

void CAppResolver::Start() {
    std::lock_guard<std::mutex> guard(m_mtxWork);
    if (!m_bStarted) {
        {
            std::lock_guard<std::mutex> wake(m_mtxWake);
            m_bStop = false;
        }
        m_thread.Start(this);
        m_bStarted = true;
    }
}

void CAppResolver::StopWorker() {
    m_thread.Stop(); // without m_mtxWork: the worker takes it
    std::lock_guard<std::mutex> guard(m_mtxWork);
    m_bStarted = false;
}

void CAppResolver::Wake() {
    // No lock: a wake-up lost to the worker's check-then-wait costs at most its second's pause.
    m_nHandOvers.fetch_add(1, std::memory_order_release);
    m_cvWake.notify_one();
}

void CAppResolver::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_mtxWake);
        m_bStop = true;
    }
    m_cvWake.notify_one();
}

void CAppResolver::Run() {
    // Named, so that its own CPU can be read apart from the capture threads' (top -H, /proc).
    pthread_setname_np(pthread_self(), "orvek-resolver");
    uint64_t nSeen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mtxWake);
            m_cvWake.wait_for(lock, std::chrono::seconds(1), [&] {
                return m_bStop || m_nHandOvers.load(std::memory_order_acquire) != nSeen;
            });
            if (m_bStop) {
                return;
            }
        }
        nSeen = m_nHandOvers.load(std::memory_order_acquire);
        try {
            std::lock_guard<std::mutex> guard(m_mtxWork);
            // Starts first: their sockets may be closing, and their tables may be handed over.
            ResolveStarts();
            for (CFlowTap* pTap : m_vecTaps) {
                if (const CFlowTable* pTable = pTap->Take()) {
                    Process(*pTable);
                    pTap->GiveBack();
                }
            }
            const auto tNow = Clock::now();
            if (tNow - m_tLastExpiry >= std::chrono::seconds(1)) {
                m_tLastExpiry = tNow;
                ExpireFlows(tNow);
                ForgetExpired();
            }
        } catch (const std::exception&) {
            // Out of memory: the tables stay with the worker and are tried again.
        }
    }
}

void CAppResolver::DrainStopped() {
    std::lock_guard<std::mutex> guard(m_mtxWork);
    for (CFlowTap* pTap : m_vecTaps) {
        DrainTap(*pTap);
    }
    // No descriptor is held while nothing is captured.
    m_fdDiag.Reset();
    m_bDiagTried = false;
}

void CAppResolver::SetOuterFlows(const std::map<std::string, OuterFlow>& outerFlows) {
    std::lock_guard<std::mutex> guard(m_mtxWork);
    m_outerFlows = outerFlows;
    std::lock_guard<std::mutex> totals(m_mtxTotals);
    std::erase_if(m_outerBytes,
                  [&](const auto& entry) { return !outerFlows.contains(entry.first); });
}

std::map<std::string, std::pair<int64_t, int64_t>> CAppResolver::GetOuterBytes() const {
    std::lock_guard<std::mutex> guard(m_mtxTotals);
    return m_outerBytes;
}

std::vector<AppUsage> CAppResolver::GetUsage() const {
    std::vector<AppUsage> rows;
    std::lock_guard<std::mutex> guard(m_mtxTotals);
    for (const AppUsage& row : m_vecRows) {
        if (row.nSentBytes != 0 || row.nRecvBytes != 0 || row.nConnections != 0) {
            rows.push_back(row);
        }
    }
    return rows;
}

std::vector<ConnectionUsage> CAppResolver::GetConnections(size_t nTop, int64_t& nOthers) const {
    using Item = std::pair<int64_t, const std::pair<const FlowKey, FlowEntry>*>;
    std::vector<Item> items;
    std::vector<ConnectionUsage> connections;
    std::lock_guard<std::mutex> guard(m_mtxTotals);
    items.reserve(m_flows.size());
    for (const auto& flow : m_flows) {
        items.emplace_back(flow.second.nSentBytes + flow.second.nRecvBytes, &flow);
    }
    const size_t nKept = std::min(nTop, items.size());
    std::ranges::nth_element(items, items.begin() + static_cast<ptrdiff_t>(nKept),
                             [](const Item& a, const Item& b) { return a.first > b.first; });
    nOthers = static_cast<int64_t>(items.size() - nKept);
    connections.reserve(nKept);
    for (size_t n = 0; n < nKept; ++n) {
        const auto& [key, entry] = *items[n].second;
        const size_t nAddress = key.IsIPv6() ? 16 : 4;
        connections.push_back(
            {key.nProtocol, std::string(reinterpret_cast<const char*>(key.aLocal.data()), nAddress),
             std::string(reinterpret_cast<const char*>(key.aRemote.data()), nAddress),
             key.nLocalPort, key.nRemotePort, m_vecRows[entry.nApp].strName,
             IsReason(entry.nApp) ? entry.nApp : 0, entry.nSentBytes, entry.nRecvBytes,
             m_vecRows[entry.nApp].nOwnerUid});
    }
    return connections;
}

void CAppResolver::ResolveStarts() {
    std::vector<FlowStart> starts;
    FlowStart start;
    for (CFlowTap* pTap : m_vecTaps) {
        while (pTap->PopStart(start)) {
            starts.push_back(start);
        }
    }
    if (starts.empty()) {
        return;
    }
    const auto tNow = Clock::now();
    std::vector<const FlowKey*> asked, resumed;
    std::vector<EFlowAsk> asks;
    std::unordered_set<FlowKey, FlowKeyHash> seen;
    for (const FlowStart& flow : starts) {
        const auto it = m_flows.find(flow.key);
        const bool bKnown = it != m_flows.end();
        // A UDP flow of an application that was quiet a while may be another socket's on the
        // same ends (a port used again): asked for again, it changes rows only for a socket found.
        if (bKnown && flow.key.nProtocol == IPPROTO_UDP && !IsReason(it->second.nApp) &&
            tNow - it->second.tLastSeen >= kQuietBeforeReuse && seen.insert(flow.key).second) {
            resumed.push_back(&flow.key);
            continue;
        }
        // A SYN is a new connection whatever the flow's earlier one was; a UDP flow already
        // known is no start (its first datagram was in an earlier table), asked for again only
        // as a table's flow would be.
        const bool bStart = !bKnown || flow.key.nProtocol == IPPROTO_TCP;
        if ((!bStart && (!IsReason(it->second.nApp) || tNow - it->second.tLastTry < kRetryPause)) ||
            (!bKnown && m_flows.size() + asked.size() >= kMaxFlows) ||
            !seen.insert(flow.key).second) {
            continue;
        }
        asked.push_back(&flow.key);
        asks.push_back(bStart ? (flow.bSent ? EFlowAsk::AtSentStart : EFlowAsk::AtReceivedStart)
                       : IsGone(it->second.nApp) ? EFlowAsk::Again
                                                 : EFlowAsk::Later);
    }
    std::vector<uint32_t> rows;
    Remember(asked, asks, tNow, rows);
    if (!resumed.empty()) {
        Remember(resumed, std::vector<EFlowAsk>(resumed.size(), EFlowAsk::Later), tNow, rows, true);
    }
}

void CAppResolver::Remember(const std::vector<const FlowKey*>& keys,
                            const std::vector<EFlowAsk>& asks, Clock::time_point tNow,
                            std::vector<uint32_t>& rows, bool bFoundOnly) {
    ResolveOwnersFirst(keys, asks, rows);
    std::lock_guard<std::mutex> guard(m_mtxTotals);
    for (size_t n = 0; n < keys.size(); ++n) {
        auto [it, bNew] = m_flows.try_emplace(*keys[n]);
        FlowEntry& entry = it->second;
        if (!bNew && bFoundOnly && IsReason(rows[n])) {
            rows[n] = entry.nApp;
            entry.tLastSeen = entry.tLastTry = tNow;
            continue;
        }
        if (!bNew) {
            // Found nowhere later, a flow that was no socket's still is not.
            if (rows[n] == kClosed && entry.nApp == kNoSocket) {
                rows[n] = kNoSocket;
            }
            // A flow first taken for a closed socket's that still talks was never this host's:
            // its bytes so far go with it.
            if (entry.nApp == kClosed && rows[n] == kNoSocket) {
                m_vecRows[kClosed].nSentBytes -= entry.nSentBytes;
                m_vecRows[kClosed].nRecvBytes -= entry.nRecvBytes;
                m_vecRows[kNoSocket].nSentBytes += entry.nSentBytes;
                m_vecRows[kNoSocket].nRecvBytes += entry.nRecvBytes;
            }
            --m_vecRows[entry.nApp].nConnections;
        }
        entry.nApp = rows[n];
        entry.tLastSeen = entry.tLastTry = tNow;
        ++m_vecRows[entry.nApp].nConnections;
    }
}

void CAppResolver::Process(const CFlowTable& table) {
    const auto tNow = Clock::now();
    const size_t nFlows = table.GetFlowCount();
    std::vector<uint32_t> rows(nFlows, kTableFull);
    std::vector<const FlowKey*> asked;
    std::vector<size_t> askedIndex;
    size_t nNew = 0;
    for (size_t n = 0; n < nFlows; ++n) {
        const FlowKey& key = table.GetFlow(n).key;
        const auto it = m_flows.find(key);
        if (it == m_flows.end()) {
            if (m_flows.size() + nNew >= kMaxFlows) {
                continue; // TableFull
            }
            ++nNew;
        } else if (!IsReason(it->second.nApp) || tNow - it->second.tLastTry < kRetryPause) {
            rows[n] = it->second.nApp;
            it->second.tLastSeen = tNow;
            continue;
        }
        asked.push_back(&key);
        askedIndex.push_back(n);
    }
    // A flow that no socket had, asked for again, still carries bytes a while after.
    std::vector<EFlowAsk> asks;
    for (const FlowKey* pKey : asked) {
        const auto it = m_flows.find(*pKey);
        asks.push_back(it != m_flows.end() && IsGone(it->second.nApp) ? EFlowAsk::Again
                                                                      : EFlowAsk::Later);
    }
    std::vector<uint32_t> resolved;
    Remember(asked, asks, tNow, resolved);
    for (size_t n = 0; n < asked.size(); ++n) {
        rows[askedIndex[n]] = resolved[n];
    }

    std::lock_guard<std::mutex> guard(m_mtxTotals);
    for (size_t n = 0; n < nFlows; ++n) {
        const FlowSlot& slot = table.GetFlow(n);
        m_vecRows[rows[n]].nSentBytes += slot.nSentBytes;
        m_vecRows[rows[n]].nRecvBytes += slot.nRecvBytes;
        // A flow the resolver could not keep (TableFull) has no connection of its own.
        if (const auto it = m_flows.find(slot.key); it != m_flows.end()) {
            it->second.nSentBytes += slot.nSentBytes;
            it->second.nRecvBytes += slot.nRecvBytes;
        }
        for (const auto& [strTunnel, outer] : m_outerFlows) {
            if (MatchesOuter(slot.key, outer)) {
                auto& [nSent, nRecv] = m_outerBytes[strTunnel];
                nSent += slot.nSentBytes;
                nRecv += slot.nRecvBytes;
            }
        }
    }
    for (uint32_t n = 0; n < kReasonRows; ++n) {
        m_vecRows[n].nSentBytes += table.GetUnattributed(static_cast<EUnattributed>(n), true);
        m_vecRows[n].nRecvBytes += table.GetUnattributed(static_cast<EUnattributed>(n), false);
    }
}

void CAppResolver::ResolveFlows(const std::vector<const FlowKey*>& keys,
                                const std::vector<EFlowAsk>& asks, std::vector<uint32_t>& rows) {
    rows.assign(keys.size(), kUnavailable);
    if (keys.empty() || !OpenDiag()) {
        return;
    }
    const auto tNow = Clock::now();
    std::vector<DiagReply> replies;
    for (size_t nFirst = 0; nFirst < keys.size(); nFirst += kQueryBatch) {
        const size_t nCount = std::min(kQueryBatch, keys.size() - nFirst);
        const uint32_t nFirstSeq = m_nSeq + 1;
        std::string strRequests;
        for (size_t n = 0; n < nCount; ++n) {
            strRequests +=
                BuildSocketQuery(EndsOf(*keys[nFirst + n]), keys[nFirst + n]->nProtocol, ++m_nSeq);
        }
        replies.clear();
        Exchange(strRequests, nCount, false, replies);
        std::vector<const DiagReply*> answers(nCount, nullptr);
        for (const DiagReply& reply : replies) {
            const uint32_t nIndex = reply.nSeq - nFirstSeq;
            if (nIndex < nCount && answers[nIndex] == nullptr) {
                answers[nIndex] = &reply;
            }
        }
        for (size_t n = 0; n < nCount; ++n) {
            const DiagReply* pReply = answers[n];
            uint32_t& nRow = rows[nFirst + n];
            // A socket closed by its program but not yet ended (FIN_WAIT, LAST_ACK) has no
            // inode but still its owner and group, which name its application.
            if (pReply != nullptr && pReply->eKind == DiagReply::EKind::Socket &&
                (pReply->socket.nInode != 0 || pReply->socket.bHasCgroup)) {
                nRow = RowOf(pReply->socket, true);
                if (nRow != 0) {
                    NotePeer(*keys[nFirst + n], nRow, tNow);
                    continue;
                }
                // A program's socket that closed before its process was looked at: the
                // same user's program that talks to its peer, else its user.
                nRow = RowOfPeer(*keys[nFirst + n], tNow);
                if (nRow == 0 || m_vecRows[nRow].nOwnerUid != pReply->socket.nUid) {
                    nRow = RowOfName(UserName(pReply->socket.nUid), EAppKind::User,
                                     pReply->socket.nUid);
                }
                continue;
            }
            // Gone, closing, or not accepted yet: the listening or unconnected socket that took
            // it belongs to the same application. No guess beyond: a closing one's reason is
            // that it closed; one that no socket had, why none had.
            nRow = RowOfBound(*keys[nFirst + n]);
            if (nRow == 0) {
                const bool bClosing =
                    pReply != nullptr && pReply->eKind == DiagReply::EKind::Socket;
                nRow = bClosing ? kClosed
                                : static_cast<uint32_t>(ReasonWithoutSocket(
                                      IsHostAddress(*keys[nFirst + n]), asks[nFirst + n]));
            }
        }
    }
}

bool CAppResolver::Exchange(const std::string& strRequests, size_t nExpected, bool bDump,
                            std::vector<DiagReply>& replies) {
    const uint32_t nLastSeq = m_nSeq;
    const uint32_t nFirstSeq = bDump ? nLastSeq : nLastSeq + 1 - static_cast<uint32_t>(nExpected);
    if (::send(m_fdDiag.Get(), strRequests.data(), strRequests.size(), 0) < 0) {
        return false;
    }
    std::vector<uint8_t> buffer(kReceiveBytes);
    size_t nAnswers = 0;
    std::string strError;
    while (nAnswers < nExpected) {
        const ssize_t nRead = ::recv(m_fdDiag.Get(), buffer.data(), buffer.size(), 0);
        if (nRead < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false; // timed out, or the kernel dropped replies (ENOBUFS)
        }
        const size_t nBefore = replies.size();
        if (!ParseDiagReplies({buffer.data(), static_cast<size_t>(nRead)}, replies, strError)) {
            return false;
        }
        for (size_t n = nBefore; n < replies.size();) {
            const DiagReply& reply = replies[n];
            // Late answers to an exchange that timed out are not this one's.
            if (reply.nSeq - nFirstSeq > nLastSeq - nFirstSeq) {
                replies.erase(replies.begin() + static_cast<std::ptrdiff_t>(n));
                continue;
            }
            if (bDump ? reply.eKind != DiagReply::EKind::Socket
                      : reply.eKind != DiagReply::EKind::Done) {
                ++nAnswers;
            }
            ++n;
        }
    }
    return true;
}

uint32_t CAppResolver::RowOf(const SocketRecord& socket, bool bMayDefer) {
    const std::pair<uint64_t, uint32_t> owner{socket.bHasCgroup ? socket.nCgroupId : 0,
                                              socket.nUid};
    if (const auto it = m_rowOfOwner.find(owner); it != m_rowOfOwner.end()) {
        return it->second;
    }
    std::string strName;
    EAppKind eKind = EAppKind::Group;
    bool bKnown = true, bByProcess = false;
    std::string strGroupDir; // of a program named by its executable
    if (socket.bHasCgroup) {
        const std::optional<std::string> path = m_cgroups.FindPath(socket.nCgroupId);
        bKnown = path.has_value();
        if (path) {
            strName = AppNameFromCgroupPath(*path, &eKind);
            // The meter's own user's programs in a group that names none (a login session's
            // scope, a terminal's): the one that holds the socket, among the group's processes.
            if (strName.empty() && socket.nUid == m_nOwnUid && !path->empty()) {
                bByProcess = true;
                strGroupDir = m_cgroups.GetRoot() + "/" + *path;
                if (std::optional<std::string> exe =
                        m_processes.NameOf(strGroupDir, socket.nInode)) {
                    strName = std::move(*exe);
                    eKind = EAppKind::Executable;
                } else if (bMayDefer) {
                    return 0;
                }
            }
        }
    }
    if (strName.empty()) {
        strName = UserName(socket.nUid);
        eKind = EAppKind::User;
    }
    const uint32_t nRow = RowOfName(strName, eKind, socket.nUid);
    // A group's programs differ from socket to socket; a group or a user names every one alike.
    if (bKnown && !bByProcess) {
        m_rowOfOwner.emplace(owner, nRow);
    }
    if (eKind == EAppKind::Executable) {
        NoteProcesses(nRow, strGroupDir);
    }
    return nRow;
}

void CAppResolver::NoteProcesses(uint32_t nRow, const std::string& strGroupDir) {
    const AppUsage& row = m_vecRows[nRow]; // this thread is its only writer
    std::vector<pid_t> pids = m_processes.PidsOf(strGroupDir, row.strName, AppUsage::kMaxPids);
    if (pids.empty()) {
        return;
    }
    std::vector<int32_t> merged(pids.begin(), pids.end());
    for (const int32_t nPid : row.vecPids) {
        if (merged.size() < AppUsage::kMaxPids && std::ranges::find(merged, nPid) == merged.end()) {
            merged.push_back(nPid);
        }
    }
    if (merged == row.vecPids) {
        return;
    }
    std::string strCommand = row.vecPids.empty() || row.vecPids.front() != merged.front()
                                 ? m_processes.CommandOf(merged.front())
                                 : row.strCommand;
    std::lock_guard<std::mutex> guard(m_mtxTotals);
    m_vecRows[nRow].vecPids = std::move(merged);
    if (!strCommand.empty()) {
        m_vecRows[nRow].strCommand = std::move(strCommand);
    }
}

uint32_t CAppResolver::RowOfName(const std::string& strName, EAppKind eKind, uint32_t nUid) {
    if (const auto it = m_rowOfName.find({strName, nUid}); it != m_rowOfName.end()) {
        return it->second;
    }
    std::lock_guard<std::mutex> guard(m_mtxTotals);
    if (m_vecRows.size() >= kReasonRows + kMaxApps) {
        m_vecRows.back().strName = "other applications";
        m_vecRows.back().nKind = static_cast<uint32_t>(EAppKind::Group);
        m_vecRows.back().nOwnerUid = AppUsage::kNoOwner; // many users' applications
        return static_cast<uint32_t>(m_vecRows.size() - 1);
    }
    const auto nRow = static_cast<uint32_t>(m_vecRows.size());
    m_vecRows.push_back(AppUsage{strName, 0, 0, 0, 0, static_cast<uint32_t>(eKind), nUid});
    m_rowOfName.emplace(std::pair{strName, nUid}, nRow);
    return nRow;
}

void CAppResolver::RefreshBound() {
    m_tBoundRead = Clock::now();
    m_vecBound.clear();
    std::vector<DiagReply> replies;
    for (const uint8_t nFamily : {uint8_t{AF_INET}, uint8_t{AF_INET6}}) {
        for (const uint8_t nProtocol : {uint8_t{IPPROTO_TCP}, uint8_t{IPPROTO_UDP}}) {
            const uint32_t nStates = nProtocol == IPPROTO_TCP ? 1U << TCP_LISTEN : ~0U;
            replies.clear();
            Exchange(BuildSocketDump(nFamily, nProtocol, nStates, ++m_nSeq), 1, true, replies);
            for (const DiagReply& reply : replies) {
                if (reply.eKind == DiagReply::EKind::Socket && reply.socket.nInode != 0) {
                    m_vecBound.push_back(reply.socket);
                    // Bound sockets keep their protocol where connections keep their state.
                    m_vecBound.back().nState = nProtocol;
                }
            }
        }
    }
}

bool CAppResolver::IsHostAddress(const FlowKey& key) {
    const auto Contains = [&] {
        return key.IsIPv6() ? m_pHostAddresses->ContainsIPv6(key.aLocal.data())
                            : m_pHostAddresses->ContainsIPv4(ReadIPv4(key));
    };
    const auto tNow = Clock::now();
    if (m_pHostAddresses && tNow - m_tHostRead < kHostPause &&
        (Contains() || tNow - m_tHostRead < kHostMissPause)) {
        return Contains();
    }
    // This namespace's addresses, as the kernel has them now.
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0) {
        return true; // unknown: a socket of this host may have had it
    }
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> list(pList, ::freeifaddrs);
    auto pTable = std::make_unique<CAddressTable>();
    for (const ifaddrs* pEntry = pList; pEntry != nullptr; pEntry = pEntry->ifa_next) {
        pTable->Add(pEntry->ifa_addr);
    }
    pTable->Seal();
    m_pHostAddresses = std::move(pTable);
    m_tHostRead = tNow;
    return Contains();
}

uint32_t CAppResolver::RowOfBound(const FlowKey& key) {
    if (!m_tBoundRead || Clock::now() - *m_tBoundRead >= kBoundPause) {
        RefreshBound();
    }
    const SocketRecord* pBest = nullptr;
    int nBestFit = 0;
    for (const SocketRecord& socket : m_vecBound) {
        if (socket.nState != key.nProtocol || socket.nLocalPort != key.nLocalPort ||
            (socket.nRemotePort != 0 && socket.nRemotePort != key.nRemotePort)) {
            continue;
        }
        if (const int nFit = AddressFit(socket, key); nFit > nBestFit) {
            nBestFit = nFit;
            pBest = &socket;
        }
    }
    return pBest != nullptr ? RowOf(*pBest) : 0;
}

namespace {

FlowKey PeerKey(const FlowKey& key) {
    FlowKey peer = key;
    peer.nLocalPort = 0;
    return peer;
}

} // namespace

void CAppResolver::NotePeer(const FlowKey& key, uint32_t nRow, Clock::time_point tNow) {
    if (m_peers.size() >= kMaxFlows) {
        return; // kept small: forgotten with the flows
    }
    auto [it, bNew] = m_peers.try_emplace(PeerKey(key), PeerEntry{nRow, tNow});
    if (!bNew) {
        const bool bRecent = tNow - it->second.tSeen < kPeerMemory;
        it->second.nRow = bRecent && it->second.nRow != nRow ? 0 : nRow;
        it->second.tSeen = tNow;
    }
}

uint32_t CAppResolver::RowOfPeer(const FlowKey& key, Clock::time_point tNow) {
    const auto it = m_peers.find(PeerKey(key));
    return it != m_peers.end() && tNow - it->second.tSeen < kPeerMemory ? it->second.nRow : 0;
}

void CAppResolver::ExpireFlows(Clock::time_point tNow) {
    std::erase_if(m_peers,
                  [&](const auto& item) { return tNow - item.second.tSeen >= kPeerMemory; });
    std::lock_guard<std::mutex> guard(m_mtxTotals);
    std::erase_if(m_flows, [&](const auto& item) {
        if (tNow - item.second.tLastSeen < kFlowExpiry) {
            return false;
        }
        --m_vecRows[item.second.nApp].nConnections;
        if (m_pFlowOwners != nullptr) {
            m_vecForget.push_back(item.first);
        }
        return true;
    });
}

void CAppResolver::SetFlowOwners(IFlowOwners* pOwners) {
    std::lock_guard<std::mutex> guard(m_mtxWork);
    m_pFlowOwners = pOwners;
}

void CAppResolver::ResolveOwnersFirst(const std::vector<const FlowKey*>& keys,
                                      const std::vector<EFlowAsk>& asks,
                                      std::vector<uint32_t>& rows) {
    if (m_pFlowOwners == nullptr) {
        ResolveFlows(keys, asks, rows);
        return;
    }
    const auto tNow = Clock::now();
    rows.assign(keys.size(), 0);
    std::vector<const FlowKey*> rest;
    std::vector<EFlowAsk> restAsks;
    std::vector<size_t> restIndex;
    for (size_t n = 0; n < keys.size(); ++n) {
        if (const std::optional<FlowOwner> owner = m_pFlowOwners->Lookup(*keys[n])) {
            rows[n] = RowOfFlowOwner(*owner);
            if (rows[n] != 0) {
                NotePeer(*keys[n], rows[n], tNow);
                continue;
            }
        }
        rest.push_back(keys[n]);
        restAsks.push_back(asks[n]);
        restIndex.push_back(n);
    }
    std::vector<uint32_t> restRows;
    ResolveFlows(rest, restAsks, restRows);
    for (size_t n = 0; n < rest.size(); ++n) {
        rows[restIndex[n]] = restRows[n];
    }
}

uint32_t CAppResolver::RowOfFlowOwner(const FlowOwner& owner) {
    SocketRecord socket;
    socket.nUid = owner.nUid;
    socket.nCgroupId = owner.nCgroupId;
    socket.bHasCgroup = owner.nCgroupId != 0;
    // The meter's own user's program in a group that names none: the process that sent the
    // flow's first packet, by its executable while it runs, else by the name the kernel kept;
    // without a sender the diagnostics are asked (0), as they find the socket's process.
    if (socket.bHasCgroup && owner.nUid == m_nOwnUid) {
        const std::optional<std::string> path = m_cgroups.FindPath(owner.nCgroupId);
        if (path && !path->empty() && AppNameFromCgroupPath(*path).empty()) {
            if (owner.nPid == 0) {
                return 0;
            }
            std::string strName = m_processes.LinkedExecutableOf(static_cast<pid_t>(owner.nPid));
            if (strName.empty()) {
                // The process is gone: the kernel's name of it, cut to its first 15 bytes, is the
                // executable row of that user it begins, when there is exactly one.
                if (const uint32_t nRow = RowOfComm(owner.strComm, owner.nUid); nRow != 0) {
                    return nRow;
                }
                strName = owner.strComm;
            }
            if (strName.empty()) {
                return 0;
            }
            const uint32_t nRow = RowOfName(strName, EAppKind::Executable, owner.nUid);
            NoteProcesses(nRow, m_cgroups.GetRoot() + "/" + *path);
            return nRow;
        }
    }
    return RowOf(socket);
}

uint32_t CAppResolver::RowOfComm(const std::string& strComm, uint32_t nUid) const {
    // Shorter names are whole; the kernel keeps 15 bytes of a longer one.
    if (strComm.size() != kCommBytes - 1) {
        return 0;
    }
    uint32_t nFound = 0;
    for (auto it = m_rowOfName.lower_bound({strComm, 0});
         it != m_rowOfName.end() && it->first.first.starts_with(strComm); ++it) {
        if (it->first.second == nUid &&
            m_vecRows[it->second].nKind == static_cast<uint32_t>(EAppKind::Executable)) {
            if (nFound != 0) {
                return 0; // two programs begin alike: neither is guessed
            }
            nFound = it->second;
        }
    }
    return nFound;
}

void CAppResolver::ForgetExpired() {
    if (m_pFlowOwners != nullptr && !m_vecForget.empty()) {
        m_pFlowOwners->Forget(m_vecForget);
    }
    m_vecForget.clear();
}
