#pragma once

#include "AdapterManager.h"
#include "ClientMeter.h"
#include "EventLoop.h"
#include "MeterSession.h"
#include "MeterView.h"
#include "MetricsServer.h"
#include "OrvekMeter.h"
#include "UsageRecording.h"
#include "ZarnFd.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/socket.h>

// What the system service allows its clients, so that no client, nor many, can make it use more
// than a bounded memory or stop it answering the others.
struct DaemonLimits {
    size_t nClients = 256;       // connections at once, in all
    size_t nClientsPerUid = 32;  // connections at once of one user
    size_t nOwnMeters = 16;      // meters of clients' own settings, in all
    size_t nOwnMetersPerUid = 4; // of one user
    // What may wait for a client that does not read; beyond, it is dropped.
    size_t nQueueBound = size_t{4} << 20;
    // What may wait for all clients together.
    size_t nQueuedInAllBound = size_t{64} << 20;
    // A client that has not greeted by then is dropped.
    int nHelloTimeoutMs = 10'000;
};

struct DaemonConfig {
    std::string strStateDir = "/var/lib/orvek";
    std::string strSocket = "/run/orvek/orvekd.sock";
    DaemonLimits limits = {};
    // Its members, beside root, see every user's applications and may change the host's plan
    // ("": root alone).
    std::string strCaptureGroup = {};
    // Prometheus's /metrics served there (the exporter's families and the plan's series); none
    // when the address is empty.
    std::string strMetricsAddress = {};
    uint16_t nMetricsPort = 0;
    // Where the meter looks new flows' owners up first (the in-kernel flow owners, which outlive
    // the service); null: the socket diagnostics alone find them.
    IFlowOwners* pFlowOwners = nullptr;
};

// The system service: one always-on meter with the default settings, capturing from its start,
// whose snapshots are recorded into the state folder's usage file; and a Unix socket on which
// every local user may connect and be served with the capture helper's protocol (CMeterSession),
// each client known by its credentials (SO_PEERCRED). Everything runs on the loop's thread.
class CDaemon final : private IMeterView {
public:
    // Loop thread, before Run: makes the state folder (0755) and opens the usage file, listens on
    // the socket (0666; a stale socket file is replaced) and starts capture. Throws
    // std::runtime_error with a one-line reason (another service answers on the socket, the
    // folder cannot be made...); capture that opens no device is said, not thrown.
    CDaemon(const DaemonConfig& config, CEventLoop& loop);
    CDaemon(const CDaemon&) = delete;
    CDaemon& operator=(const CDaemon&) = delete;
    // Ends every client, stops capture, writes the last counts and removes the socket file.
    ~CDaemon();

    // Loop thread: the connected clients; those with a meter of their own.
    size_t CountClients() const { return m_clients.size(); }
    size_t CountOwnMeters() const { return m_nOwnMeters; }
    // Any thread: the always-on meter's snapshot.
    MeterSnapshot GetSnapshot() const { return m_meter.GetSnapshot(); }
    // The metrics server's port (0: none serves).
    uint16_t GetMetricsPort() const { return m_pMetrics ? m_pMetrics->GetPort() : 0; }

private:
    // One connection: its session and the meter the session serves, each the other's view.
    struct Client {
        Client(int hSocket, CEventLoop& loop, IMeter& shared, const ucred& credIn,
               CMeterSession::Options options, CClientMeter::ClaimFn fnClaim,
               CClientMeter::SnapshotFn fnShared, ClientAccess access)
            : cred(credIn), session(hSocket, loop, meter, std::move(options)),
              meter(shared, session, std::move(fnClaim), std::move(fnShared), std::move(access)) {}
        ucred cred;
        CMeterSession session;
        CClientMeter meter; // destroyed first: it stops a capture of its own
    };

    // View thread (the loop's): the totals moved; the file and the shared clients follow.
    void ShowCounters(int64_t nRecvBytes, int64_t nSentBytes) override;
    // Any thread: said on standard error (the journal) and to the shared clients.
    void ShowMessage(const std::string& strText, const char* szCaption) override;
    // Any thread: runs fn on the loop's thread.
    void Post(std::function<void()> fn, int nDelayMs) override;

    void Listen(const std::string& strPath);
    // Loop thread, when the listening socket is readable: accepts every waiting client.
    void OnAcceptable();
    void Accept(CZarnFd hClient);
    // Loop thread: a claim of a meter of the client's own, or its return ("" when granted).
    std::string Claim(uid_t nUid, bool bClaim);
    // Loop thread: a client's request to set the host's plan (its text, "" to remove it): ""
    // when done, else why not. Root and the capture group's members alone may.
    std::string SetPlan(uint64_t nId, const std::string& strPlan);
    // Loop thread: the always-on meter's snapshot, read now when bNow, else taken at most once in
    // kSharedSnapshotAge, so that pushing it to many clients reads the meter once. The counts
    // moving (ShowCounters) makes it stale: a push for a movement always shows that movement.
    MeterSnapshot GetSharedSnapshot(bool bNow);
    static constexpr std::chrono::milliseconds kSharedSnapshotAge{5};
    // The first counts after the start are written this soon, so that the file shows the
    // service counting within moments of boot; later ones at the recorder's flush period.
    static constexpr int kFirstFlushMs = 500;

    CEventLoop& m_loop;
    DaemonLimits m_limits;
    std::string m_strSocket;
    std::string m_strCaptureGroup;
    IFlowOwners* m_pFlowOwners;        // the config's, for the shared meter and the clients' own
    std::optional<gid_t> m_captureGid; // nullopt: no group, or none of that name
    CZarnFd m_hListen;
    uint64_t m_nNextId = 1;
    size_t m_nOwnMeters = 0;
    size_t m_nQueuedInAll = 0; // bytes waiting for the clients
    std::map<uint64_t, std::unique_ptr<Client>> m_clients;
    std::map<uid_t, size_t> m_clientsOfUid;
    std::map<uid_t, size_t> m_ownMetersOfUid;
    MeterSnapshot m_sharedSnapshot;
    std::chrono::steady_clock::time_point m_tSharedSnapshot;
    bool m_bSharedSnapshotStale = true;
    bool m_bFirstFlushDue = true;
    CAdapterManager m_manager;
    // Destroyed before the manager: it stops capture.
    COrvekMeter m_meter;
    std::unique_ptr<CUsageRecording> m_pRecording;
    // Last: its thread reads the meter and the recording, so it stops before they go.
    std::unique_ptr<CMetricsServer> m_pMetrics;
};
