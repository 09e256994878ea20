#pragma once

#include <cstdint>
#include <string>

// Pure: the plan's two gauges in Prometheus text exposition (format 0.0.4), to follow
// FormatPrometheus's families: the bytes counted against the plan in its current cycle, and its
// cap.
std::string FormatPlanPrometheus(int64_t nUsedBytes, int64_t nLimitBytes);
