#pragma once

#include "TopLayout.h"

#include <string>
#include <vector>

// What `orvek top` was asked to do: the display's first choices and the capture's settings.
struct TopOptions {
    TopChoices choices;
    double dInterval = 1.0; // seconds between samples, and so between redraws
    std::string strFilter = "tcp or udp";
    bool bPromiscuous = false;
    std::vector<std::string> vecExclude;
    std::string strSocket; // --socket: the service's socket; "" to look where it usually is
    bool bHelp = false;
    bool bVersion = false;
};

// The accepted --interval: a redraw ten times a second at most, one an hour at least.
inline constexpr double kMinTopInterval = 0.1;
inline constexpr double kMaxTopInterval = 3600.0;

// Pure: reads the arguments after `orvek top` (or orvek-top's). On failure leaves options as they
// were, sets strError to one line naming the option and returns false.
bool ParseTopOptions(const std::vector<std::string>& args, TopOptions& options,
                     std::string& strError);

// The --help text, every option with its default; ends with a newline.
const char* TopUsage();
