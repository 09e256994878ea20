#pragma once

#include "DeviceState.h"
#include "HeadlessOptions.h"

#include <string>
#include <vector>

// Pure: what the headless program says on standard error once capture has started, from the
// devices' states: a warning for each --exclude that names no listed device (it may appear
// later), and, when no device captures, the message that says why and how to change it. Lines
// separated by '\n', without the program's prefix; "" when all is well.
std::string DescribeHeadlessStart(const HeadlessOptions& options,
                                  const std::vector<DeviceState>& states);

// Pure: the one line that --interval 0, which prints nothing until the end, says at the start:
// that it captures, how to end it, and where metrics are served.
std::string DescribeQuietRun(const HeadlessOptions& options);
