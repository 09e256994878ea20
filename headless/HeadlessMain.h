#pragma once

#include <chrono>
#include <string>
#include <vector>

// `orvek-headless [OPTIONS]` (also `orvek --headless [OPTIONS]`): the meter on an event loop of
// its own, without a display. Prints the totals every interval (and once at the end), optionally
// serves Prometheus metrics, and stops on SIGINT or SIGTERM. args are the options, without the
// program's name. Returns the process's exit status: 0, 1 when capture cannot start, 2 for a bad
// command line. Call from main before any other thread exists.
int RunHeadless(const std::vector<std::string>& args);

struct HeadlessOptions;

// Pure: how often the program wants the snapshot pushed: once a line's interval (once a second
// when it prints no lines), within the pace the protocol allows.
std::chrono::milliseconds HeadlessPace(const HeadlessOptions& options);
