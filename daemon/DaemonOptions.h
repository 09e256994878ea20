#pragma once

#include <string>
#include <vector>

// orvekd's command line.
struct DaemonOptions {
    std::string strStateDir = "/var/lib/orvek";
    std::string strSocket = "/run/orvek/orvekd.sock";
    std::string strCaptureGroup; // "": root alone sees every application and changes the plan
    bool bHelp = false;
    bool bVersion = false;
};

// Parses args (without the program's name); false with a one-line reason.
bool ParseDaemonOptions(const std::vector<std::string>& args, DaemonOptions& options,
                        std::string& strError);
// The --help text.
const char* DaemonUsage();
