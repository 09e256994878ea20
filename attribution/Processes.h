#pragma once

// The meter's own user's processes named by their executables: which process of a control group
// holds a socket, found among that group's processes alone (never a scan of every process).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

// Pure: the process ids of a cgroup.procs file, one decimal number a line; lines that are no
// number are skipped. At most nMax ids; more set bMore.
std::vector<pid_t> ParsePidList(std::string_view bytes, size_t nMax, bool& bMore);
// Pure: a program's name from its /proc/PID/exe link ("/usr/bin/curl (deleted)" gives "curl"),
// or from its comm file's bytes ("curl\n"); empty when there is none.
std::string ExecutableOfLink(std::string_view strLink);
std::string ExecutableOfComm(std::string_view bytes);

// Names sockets of one user by the executable of the process that holds them, looking only at
// the processes of the socket's control group. Bounded: a group of more than kMaxProcesses
// processes, or whose processes hold more than kMaxFds descriptors, is not looked into; a group
// whose processes all run one program needs no look at descriptors at all; in other groups the
// looks take at most a fiftieth of the time (a look that took t waits 50 t for the next, at least
// a millisecond), and sockets asked for meanwhile go to the program whose new socket the last
// look found, else are left to the caller. Cached: a group's processes' programs are read
// again when its cgroup.procs changed (or a second passed), and what a look at descriptors finds
// (every socket of the group's processes) is kept until a socket it did not see is asked for; so
// a new socket costs one read of cgroup.procs. The resolver's thread only.
class CProcessNamer {
public:
    static constexpr size_t kMaxProcesses = 64;
    static constexpr size_t kMaxFds = 4096;
    // Groups remembered at most (forgotten all at once beyond it).
    static constexpr size_t kMaxGroups = 256;

    // strProcRoot: where /proc is.
    explicit CProcessNamer(std::string strProcRoot = "/proc");
    // The executable that holds the socket nInode among the processes of the cgroup directory
    // strGroupDir, or nothing.
    std::optional<std::string> NameOf(const std::string& strGroupDir, uint64_t nInode);
    // After NameOf for the group: the ids of its processes that run strExe, at most nMax.
    std::vector<pid_t> PidsOf(const std::string& strGroupDir, const std::string& strExe,
                              size_t nMax) const;
    // A process's command line (CommandOfCmdline), empty when it cannot be read.
    std::string CommandOf(pid_t nPid) const;
    // A process's executable by its path (ExecutableOfLink), empty when it is gone or its path
    // cannot be read.
    std::string LinkedExecutableOf(pid_t nPid) const;

private:
    struct Group {
        // Its cgroup.procs as last read, and when.
        std::string strProcs;
        std::chrono::steady_clock::time_point tRead;
        std::vector<std::pair<pid_t, std::string>> processes; // with their programs
        std::string strOnly; // the one program all of them run, if so
        bool bTooMany = false;
        std::unordered_map<uint64_t, std::string> exeOfInode;
        std::string strHolder; // the program whose new socket the last look found
        std::chrono::steady_clock::time_point tNextScan; // no look at descriptors before
    };
    std::string ExecutableOf(pid_t nPid) const;
    // Reads the descriptors of the group's processes; false when there are too many.
    bool LookAtDescriptors(Group& group) const;

    std::string m_strProcRoot;
    std::unordered_map<std::string, Group> m_groups;
};
