#pragma once

#include "Plan.h"

#include <optional>
#include <string>

// What a program that records is asked to keep: the usage file and, optionally, a data plan that it
// sets in that file (its cycle day, cap, counting and devices).
struct UsageOptions {
    std::string strDatabase; // "": nothing recorded
    std::optional<Plan> plan;
};

class COptionParser;

// Adds the usage options (--database, --plan-cap, --plan-day, --plan-counts, --plan-device) to
// parser; its Parse fills options. After a good parse FinishUsageOptions checks what the options
// need of each other: false with a one-line reason.
void AddUsageOptions(COptionParser& parser, UsageOptions& options);
bool FinishUsageOptions(COptionParser& parser, const UsageOptions& options, std::string& strError);
