#pragma once

// The resolver: takes the flow tables capture threads hand over, finds each new flow's socket
// through the kernel's socket diagnostics, and each socket's application through its control
// group and owner, off the packet path, on a thread of its own.

#include "AddressTable.h"
#include "AppUsage.h"
#include "Cgroups.h"
#include "ConnectionUsage.h"
#include "FlowOwners.h"
#include "FlowTap.h"
#include "Processes.h"
#include "SockDiag.h"
#include "ZarnFd.h"
#include "ZarnThread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class CAppResolver final : public IExecutable {
public:
    // At most this many flows are remembered (about 100 bytes each): bytes of further new flows
    // count as TableFull until older ones expire.
    static constexpr size_t kMaxFlows = 65536;
    // A flow not seen for this long is forgotten (and no longer counts as a connection).
    static constexpr std::chrono::seconds kFlowExpiry{30};
    // How long a UDP flow is quiet before its next datagram may be another socket's
    // (ResolveStarts).
    static constexpr std::chrono::seconds kQuietBeforeReuse{1};
    // At most this many applications are told apart; further ones share the last row.
    static constexpr size_t kMaxApps = 4096;
    // A socket of the meter's own user whose program was not found (it exited meanwhile) goes to
    // that user's application whose live sockets alone talked from the same local address to the
    // same remote address and port within this time (as an application's short connections to
    // its server do).
    static constexpr std::chrono::seconds kPeerMemory{60};

    // strCgroupRoot: the cgroup v2 mount (empty: found). Without socket diagnostics (the netlink
    // socket cannot be opened) every flow counts as Unavailable.
    explicit CAppResolver(std::string strCgroupRoot = {});
    CAppResolver(const CAppResolver&) = delete;
    CAppResolver& operator=(const CAppResolver&) = delete;
    ~CAppResolver();

    // Any thread but a capture thread; a tap is added before its capture thread starts and
    // removed only when no capture thread fills it.
    void AddTap(CFlowTap* pTap);
    void RemoveTap(CFlowTap* pTap);
    // The controlling thread (the one that starts and stops capture): starts the worker if it is
    // not running, and stops it (joined when this returns). Start throws CZarnException when no
    // thread can be made.
    void Start();
    void StopWorker();
    // Capture thread, after its tap handed a table over or queued flow starts (at most once a
    // batch): wakes the worker, which asks for the started flows' sockets at once. Takes no lock.
    void Wake();
    // Any thread, while no capture thread runs (after they were joined): resolves what the taps
    // still hold, so that every counted byte is in the rows, then closes the socket
    // diagnostics' socket until the next flow.
    void DrainStopped();
    // Any thread: the rows with bytes, applications and reasons, in no order.
    std::vector<AppUsage> GetUsage() const;
    // Any thread: the nTop flows seen within kFlowExpiry with the most bytes since they were
    // first seen (in no order), and in nOthers how many more there are.
    std::vector<ConnectionUsage> GetConnections(size_t nTop, int64_t& nOthers) const;
    // Any thread but a capture thread: the tunnels whose outer flows are measured, each with how
    // its outer packets are told. The bytes of every flow that matches one (MatchesOuter) are
    // added to its outer counts from then on; a tunnel no longer named is forgotten.
    void SetOuterFlows(const std::map<std::string, OuterFlow>& outerFlows);
    // Any thread: each named tunnel's outer bytes so far, sent and received.
    std::map<std::string, std::pair<int64_t, int64_t>> GetOuterBytes() const;
    // The controlling thread, before Start: where a new flow's owner is looked up before the
    // socket diagnostics are asked (the in-kernel flow owners, which know flows whose sockets
    // closed); null: nowhere. They outlive the resolver, and are told of the flows it forgets.
    void SetFlowOwners(IFlowOwners* pOwners);

    // The worker's loop and its stop; for the thread holder.
    void Run() override;
    void Stop() override;

private:
    // A remote service as one local address talks to it: the flow's key without the local port.
    struct PeerEntry {
        uint32_t nRow = 0; // 0: more than one application talked to it
        std::chrono::steady_clock::time_point tSeen;
    };

    struct FlowEntry {
        uint32_t nApp = 0; // a row: an EUnattributed below Count, an application above
        int64_t nSentBytes = 0, nRecvBytes = 0; // under m_mtxTotals
        std::chrono::steady_clock::time_point tLastSeen, tLastTry;
    };

    // Worker or drain, under m_mtxWork: asks for the sockets of the flows the taps saw start,
    // and remembers their rows for when their bytes come in a table.
    void ResolveStarts();
    // Worker or drain, under m_mtxWork: books a table's bytes to the rows.
    void Process(const CFlowTable& table);
    // Under m_mtxWork: asks for the flows' sockets (asks: when, as ResolveFlows takes it) and
    // keeps their rows as the flows' (a flow found nowhere once it was NoSocket stays so); rows
    // gets each one's row. bFoundOnly: a known flow keeps its row unless a socket was found.
    void Remember(const std::vector<const FlowKey*>& keys, const std::vector<EFlowAsk>& asks,
                  std::chrono::steady_clock::time_point tNow, std::vector<uint32_t>& rows,
                  bool bFoundOnly = false);
    // Under m_mtxWork, while no capture thread fills the tap: books both its tables.
    void DrainTap(CFlowTap& tap);
    // The rows of flows asked for now, by targeted queries in batches; asks says when each one
    // is asked for, for the reason of one that no socket has.
    void ResolveFlows(const std::vector<const FlowKey*>& keys, const std::vector<EFlowAsk>& asks,
                      std::vector<uint32_t>& apps);
    // Whether a flow's local address is one of this host's, as the host's interfaces have them
    // now (read again at most every kHostPause, or sooner for an address not among them).
    bool IsHostAddress(const FlowKey& key);
    // The row of a socket the kernel described, or a reason; 0 when bMayDefer and the socket is
    // one of the meter's user's whose program was not found (it closed meanwhile, say).
    uint32_t RowOf(const SocketRecord& socket, bool bMayDefer = false);
    // The row of a listening or unconnected socket bound to the flow's local end, or 0.
    uint32_t RowOfBound(const FlowKey& key);
    // The one application whose live sockets talked from the flow's local address to its remote
    // end lately, or 0; and the note of a live socket's flow.
    uint32_t RowOfPeer(const FlowKey& key, std::chrono::steady_clock::time_point tNow);
    void NotePeer(const FlowKey& key, uint32_t nRow, std::chrono::steady_clock::time_point tNow);
    void RefreshBound();
    // Sends requests and reads replies until nExpected answers (or a dump's end) came.
    bool Exchange(const std::string& strRequests, size_t nExpected, bool bDump,
                  std::vector<DiagReply>& replies);
    // Notes the processes of the group strGroupDir that run the row's executable as the row's
    // (the latest first), and the command line of the first of them.
    void NoteProcesses(uint32_t nRow, const std::string& strGroupDir);
    // The row of an application of one user (nUid: its sockets' owner).
    uint32_t RowOfName(const std::string& strName, EAppKind eKind, uint32_t nUid);
    void ExpireFlows(std::chrono::steady_clock::time_point tNow);
    // The rows of flows asked for now: by their owners in m_pFlowOwners first, the rest by
    // ResolveFlows. The row of an owner found there, or 0 when it names no program (one of the
    // meter's user's in a group that names none, whose sender is not known).
    void ResolveOwnersFirst(const std::vector<const FlowKey*>& keys,
                            const std::vector<EFlowAsk>& asks, std::vector<uint32_t>& rows);
    uint32_t RowOfFlowOwner(const FlowOwner& owner);
    // The one executable row of user nUid whose name begins with strComm, a gone process's name
    // as the kernel kept it (cut to kCommBytes - 1); 0 when strComm is shorter (a whole name) or
    // no row or several match.
    static constexpr size_t kCommBytes = 16;
    uint32_t RowOfComm(const std::string& strComm, uint32_t nUid) const;
    // Tells m_pFlowOwners of the flows ExpireFlows forgot.
    void ForgetExpired();

    // The socket diagnostics' socket, opened by the first flow; under m_mtxWork.
    bool OpenDiag();
    CZarnFd m_fdDiag;
    bool m_bDiagTried = false;
    uint32_t m_nSeq = 0;

    // Guards the taps, the flows and everything the work uses; held while a table is resolved.
    mutable std::mutex m_mtxWork;
    std::vector<CFlowTap*> m_vecTaps;
    std::unordered_map<FlowKey, FlowEntry, FlowKeyHash> m_flows;
    CCgroupIndex m_cgroups;
    // The meter's own user (the real one: the capture helper's is its client's), whose programs
    // may be named by their executables.
    const uint32_t m_nOwnUid;
    CProcessNamer m_processes;
    std::map<std::pair<uint64_t, uint32_t>, uint32_t> m_rowOfOwner;   // (cgroup id, uid) -> row
    std::map<std::pair<std::string, uint32_t>, uint32_t> m_rowOfName; // (name, uid) -> row
    std::unordered_map<FlowKey, PeerEntry, FlowKeyHash> m_peers;      // local port 0
    std::vector<SocketRecord> m_vecBound; // listening TCP and every UDP socket, from dumps
    std::unique_ptr<CAddressTable> m_pHostAddresses; // the host's, for reasons
    std::chrono::steady_clock::time_point m_tHostRead;
    std::optional<std::chrono::steady_clock::time_point> m_tBoundRead;
    std::chrono::steady_clock::time_point m_tLastExpiry;
    std::map<std::string, OuterFlow> m_outerFlows;
    IFlowOwners* m_pFlowOwners = nullptr;
    std::vector<FlowKey> m_vecForget; // flows expired, for m_pFlowOwners; under m_mtxWork

    // The rows; application rows follow the reasons'. Guarded by m_mtxTotals, held only briefly.
    mutable std::mutex m_mtxTotals;
    std::vector<AppUsage> m_vecRows;
    std::map<std::string, std::pair<int64_t, int64_t>> m_outerBytes;

    std::mutex m_mtxWake;
    std::condition_variable m_cvWake;
    std::atomic<uint64_t> m_nHandOvers{0};
    bool m_bStop = false; // guarded by m_mtxWake
    CZarnThread m_thread;
    bool m_bStarted = false; // guarded by m_mtxWork
};
