#pragma once

#include "MeterSnapshot.h"

#include <cstdint>
#include <string>

// Pure text forms of a snapshot. Numbers never depend on the C locale: these lines are read by
// programs, and the window's counters must not switch to a decimal comma either.

// " Recv  0.954 Mb\t Sent  0.000 Mb": the window's two counter texts, received first, a tab
// between. No line end.
std::string FormatTextLine(const MeterSnapshot& snapshot);

// The snapshot as one JSON object on one line (no line end), texts in valid UTF-8 (bytes that are
// not UTF-8 as \xHH, a backslash doubled):
// {"sent_bytes":N,"received_bytes":N,"devices":[{"name":"..","state":"..","sent_bytes":N,
// "received_bytes":N,"packets":N,"drops":N},...]} with packets counting both directions.
std::string FormatJsonLine(const MeterSnapshot& snapshot);

// Prometheus text exposition (format 0.0.4) of the per-device counters, the monitor's state and
// the build version. Device names must be unique, as libpcap lists them; names that differ only in
// bytes that are not UTF-8 stay different (see the escaping in the source).
std::string FormatPrometheus(const MeterSnapshot& snapshot, const std::string& strVersion);
