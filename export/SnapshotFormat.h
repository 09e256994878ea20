#pragma once

#include "MeterSnapshot.h"
#include "TrafficSampler.h"

#include <chrono>
#include <cstdint>
#include <string>

// Pure text forms of a snapshot. Numbers never depend on the C locale: these lines are read by
// programs, and the window's counters must not switch to a decimal comma either.

// " Recv  0.954 Mb\t Sent  0.000 Mb": the window's two counter texts, received first, a tab
// between. No line end.
std::string FormatTextLine(const MeterSnapshot& snapshot);

// A moment as RFC 3339 in UTC, with milliseconds: "2025-01-31T09:05:07.250Z".
std::string FormatUtcTime(std::chrono::system_clock::time_point tWall);

// The snapshot taken at tWall as one JSON object on one line (no line end), names and states as
// JsonText writes them (valid UTF-8; bytes that are not UTF-8 as \xHH, a backslash doubled):
// {"time":"<RFC 3339>","sent_bytes":N,"received_bytes":N,"sent_rate":N,"received_rate":N,
// "devices":[{"name":"..","state":"..","sent_bytes":N,"received_bytes":N,"sent_rate":N,
// "received_rate":N,"packets":N,"drops":N},...]} with packets counting both directions, and the
// rates in whole bytes a second since `before`, taken dSeconds earlier (0 without time between).
// A device missing from `before` counts from zero. With nPerApp, also "apps": the nPerApp largest
// applications, "other" for the rest, then the bytes not attributed by reason (TopAppRows), each
// {"name":"..",["reason":"<label>",]"sent_bytes":N,"received_bytes":N,"sent_rate":N,
// "received_rate":N,"connections":N[,"pids":[N,...]][,"command":".."]}; "reason" only on rows
// not attributed, "pids" and "command" only on a program of the viewer's own named by its
// executable (AppUsage::vecPids, strCommand).
std::string FormatJsonLine(const MeterSnapshot& snapshot, const MeterSnapshot& before,
                           double dSeconds, std::chrono::system_clock::time_point tWall,
                           size_t nPerApp = 0);

// The same line written into strOut, which it replaces: written straight, no JSON tree, so that a
// buffer kept from line to line allocates nothing once it holds the longest line (device states
// that carry a text, and the applications' rows, still allocate on their way).
void WriteJsonLine(std::string& strOut, const MeterSnapshot& snapshot, const MeterSnapshot& before,
                   double dSeconds, std::chrono::system_clock::time_point tWall,
                   size_t nPerApp = 0);

// The printed lines of one run, each from a fresh snapshot: JSON lines, with the rates since the
// line before (the first line: since the formatter was made, when capture started) over the times
// the snapshots held, as the window's sampler takes them (CSnapshotInterval), or the counters'
// text, led by the time and a tab when bTimestamps asks for it.
class CLineFormatter {
public:
    CLineFormatter(bool bJson, bool bTimestamps, std::chrono::steady_clock::time_point tStart,
                   size_t nPerApp = 0);

    // The line for the snapshot read at tNow (steady) and tWall, valid until the next call.
    const std::string& Next(const MeterSnapshot& snapshot,
                            std::chrono::system_clock::time_point tWall,
                            std::chrono::steady_clock::time_point tNow);

private:
    const bool m_bJson;
    const bool m_bTimestamps;
    const size_t m_nPerApp;
    MeterSnapshot m_before;
    CSnapshotInterval m_interval;
    // The last line, its room reused by the next.
    std::string m_strLine;
};

// Prometheus text exposition (format 0.0.4) of the per-device counters, the monitor's state and
// the build version. Device names must be unique, as libpcap lists them; names that differ only in
// bytes that are not UTF-8 stay different (see the escaping in the source). With nPerApp also
// orvek_app_bytes_total{app,direction} for the rows of TopAppRows (the bytes not attributed under
// app="not attributed: <why>"): at most nPerApp + 9 applications, whatever the host runs.
std::string FormatPrometheus(const MeterSnapshot& snapshot, const std::string& strVersion,
                             size_t nPerApp = 0);
