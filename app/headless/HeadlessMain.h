#pragma once

// `orvek --headless [OPTIONS]`: the meter on a core application's event loop, without a display.
// Prints the totals every interval (and once at the end), optionally serves Prometheus metrics,
// and stops on SIGINT or SIGTERM. Returns the process's exit status: 0, 1 when capture cannot
// start, 2 for a bad command line. Call from main before any other thread or application object
// exists.
int RunHeadless(int argc, char** argv);
