#pragma once

// The data plan's usage for the view's header, from the usage file the user's reports read.

#include <cstdint>
#include <string>

// "Plan: 12.34 GB of 50.00 GB used (24.7 %) since 2026-12-01" as of nNowUtc from the usage file
// at strPath; "" when no plan is set there, or the file is missing or cannot be read (the view
// then goes on without it). Reads the file: called once in a while, not per sample.
std::string ReadPlanLine(const std::string& strPath, int64_t nNowUtc);

// The usage file the view reads the plan from: the service's when it counts for this view,
// otherwise as `orvek report` chooses; "" when none can be looked at.
std::string TopUsagePath(bool bService);
