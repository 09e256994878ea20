#pragma once

// The user's own programs as the applications' rows name them (by their executables), with their
// process ids and command lines, read from /proc by the view itself: it runs as the user.

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

// One program of the user's: its processes, ascending, and the first one's command line.
struct TopProgram {
    std::vector<pid_t> pids;
    std::string strCommand; // arguments joined by spaces, at most kMaxCommandBytes
    bool operator==(const TopProgram&) const = default;
};

inline constexpr size_t kMaxCommandBytes = 4096;
// At most this many processes are looked at (a host with more lists the first ones).
inline constexpr size_t kMaxOwnProcesses = 4096;

// The processes of user nUid under strProcRoot by their executables' names (as the resolver names
// them: "/usr/bin/curl (deleted)" is "curl"). bCommands: the command lines too.
std::map<std::string, TopProgram> ListOwnPrograms(uid_t nUid, bool bCommands,
                                                  const std::string& strProcRoot = "/proc");

// Pure: a cmdline file's bytes (arguments ended by NULs) as one line, cut to kMaxCommandBytes;
// control characters shown as '?'.
std::string CommandLineOf(const std::string& strBytes);
