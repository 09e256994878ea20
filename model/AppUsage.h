#pragma once

// What the meter's counted bytes are, by application: the rows the window, the headless program
// and the capture helper's clients show. Plain data, no dependencies.

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Why counted bytes belong to no application. Numbers travel to clients and are kept stable.
enum class EUnattributed : uint32_t {
    None = 0,    // an application's
    NotTcpUdp,   // neither TCP nor UDP (ICMP, ARP, other protocols), or not IP at all
    Fragment,    // an IP fragment after the first: it carries no ports
    HeadersCut,  // the ports lie beyond the captured bytes (long IPv4 options, IPv6 extension
                 // headers, a deep stack of link headers)
    Closed,      // its socket had closed (or was closing) before it could be asked for
    NoSocket,    // not this host's socket: its local address is none of this network namespace's
                 // (forwarded, bridged, another namespace), or nothing took it when it came in
                 // first, or it still talked a while after no socket had it (forwarded or NAT-ed
                 // on the host's own address, or refused)
    TableFull,   // more flows at once than the tables hold
    Pending,     // counted, and not resolved yet
    Unavailable, // the kernel's socket diagnostics could not be opened
    Count
};

// A short English name for a reason, as rows show it ("" for None).
const char* DescribeUnattributed(EUnattributed eReason);
// A label for metrics: lower case, no spaces ("closed", "not_tcp_udp", ...).
const char* LabelUnattributed(EUnattributed eReason);

// What an application's name is. Numbers travel to clients and are kept stable.
enum class EAppKind : uint32_t {
    Group = 0,  // a systemd unit or another control group's name (and reasons' rows)
    DesktopApp, // a desktop application's id, from its scope: a desktop entry may name it
    Executable, // the executable of a process of the meter's own user
    User,       // the socket's user ("user NAME", "uid N"): nothing better was known
    Count
};

// One row: an application's bytes, or the bytes not attributed for one reason.
struct AppUsage {
    // nOwnerUid of a row that belongs to no user: a reason's, "other".
    static constexpr uint32_t kNoOwner = UINT32_MAX;

    // The application: a desktop application's id, a systemd unit, a cgroup's name, or "user
    // NAME" when nothing better is known; for a reason's row its description.
    std::string strName;
    // EUnattributed as a number; 0 for an application.
    uint32_t nReason = 0;
    int64_t nSentBytes = 0, nRecvBytes = 0;
    // Flows of the application seen in the last kFlowExpiry (TCP connections and UDP exchanges).
    int64_t nConnections = 0;
    // EAppKind as a number: whether strName is a desktop id or an executable, which a window may
    // show by its desktop entry's name and icon.
    uint32_t nKind = 0;
    // The user whose sockets these bytes were (SO_PEERCRED's numbers): the same name of two users
    // is two rows. kNoOwner for reasons' rows.
    uint32_t nOwnerUid = kNoOwner;

    // Who, for a program of the meter's own user named by its executable: the ids of its
    // processes that held its sockets lately (at most kMaxPids, the latest first) and the command
    // line of one of them (arguments space-separated, cut at kMaxCommandBytes). Empty for every
    // other row, and never shown to a client that does not own the row.
    static constexpr size_t kMaxPids = 8;
    static constexpr size_t kMaxCommandBytes = 256;
    std::vector<int32_t> vecPids = {};
    std::string strCommand = {};

    template <class Io> void Fields(Io& io) {
        io(strName, nReason, nSentBytes, nRecvBytes, nConnections, nKind, nOwnerUid, vecPids,
           strCommand);
    }
    bool operator==(const AppUsage&) const = default;
    bool IsAttributed() const { return nReason == 0; }
};

// Keeps the processes of a row (AppUsage::vecPids, strCommand) only for the viewer who owns it.
void HideOthersProcesses(std::vector<AppUsage>& rows, uint32_t nViewerUid);
// Pure: a process's command line from its /proc/PID/cmdline bytes (arguments NUL-separated):
// space-separated, cut at AppUsage::kMaxCommandBytes, bytes below space shown as '?'.
std::string CommandOfCmdline(std::string_view bytes);

// Whether two rows are the same row of a meter: name, reason and owner.
bool IsSameAppRow(const AppUsage& a, const AppUsage& b);
// Adds more's bytes to the same rows (IsSameAppRow), and the rows rows lacks; connections
// too when bConnections (not for counts of the past).
void MergeAppRows(std::vector<AppUsage>& rows, const std::vector<AppUsage>& more,
                  bool bConnections);
// The rows as one per name and reason, whoever owns them (the owner kept where all of them share
// it), for views that tell applications by name alone (metrics' labels, JSON lines).
std::vector<AppUsage> MergeAppOwners(const std::vector<AppUsage>& rows);
// Makes the Pending row what the other rows leave of the totals (no row when nothing is left), so
// that the rows add up to them.
void BalanceAppRows(std::vector<AppUsage>& rows, int64_t nSentBytes, int64_t nRecvBytes);

// The nTop applications with the most bytes (largest first), one "other" row (nReason 0) for the
// rest of them when there is a rest, then the reasons' rows: at most nTop + 1 + the reasons' rows,
// whatever the number of applications.
std::vector<AppUsage> TopAppRows(std::vector<AppUsage> rows, size_t nTop);
