#pragma once

#include "Plan.h"

#include <optional>
#include <string>
#include <vector>

// What the headless program is asked to keep: the usage file and, optionally, a data plan that it
// sets in that file (its cycle day, cap, counting and devices).
struct UsageOptions {
    std::string strDatabase; // "": nothing recorded
    std::optional<Plan> plan;
};

// Pure: takes the usage options (--database, --plan-cap, --plan-day, --plan-counts,
// --plan-device) out of args and leaves the others for the headless options. False with a
// one-line reason, args then as they were.
bool TakeUsageOptions(std::vector<std::string>& args, UsageOptions& options, std::string& strError);
