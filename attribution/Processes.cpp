#include "Processes.h"

#include "AppUsage.h"
#include "SockDiag.h"
#include "ZarnFd.h"

#include <algorithm>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <set>
#include <unistd.h>

namespace {

constexpr std::chrono::seconds kReread{1};
constexpr std::chrono::milliseconds kMinScanPause{1};
constexpr int kScanPauseFactor = 50;

// The first bytes of a small file (cgroup.procs, comm); empty when it cannot be read.
std::string ReadSmallFile(const std::string& strPath, size_t nMax) {
    const CZarnFd fd(::open(strPath.c_str(), O_RDONLY | O_CLOEXEC));
    std::string strBytes;
    if (!fd.IsOpen()) {
        return strBytes;
    }
    char aBuffer[4096];
    ssize_t nRead = 0;
    while (strBytes.size() < nMax && (nRead = ::read(fd.Get(), aBuffer, sizeof aBuffer)) > 0) {
        strBytes.append(aBuffer, static_cast<size_t>(nRead));
    }
    return strBytes;
}

std::string ReadLink(const std::string& strPath) {
    char szTarget[4096];
    const ssize_t nLength = ::readlink(strPath.c_str(), szTarget, sizeof szTarget);
    return nLength > 0 ? std::string(szTarget, static_cast<size_t>(nLength)) : std::string();
}

struct DirCloser {
    void operator()(DIR* pDir) const { ::closedir(pDir); }
};

} // namespace

std::vector<pid_t> ParsePidList(std::string_view bytes, size_t nMax, bool& bMore) {
    std::vector<pid_t> pids;
    bMore = false;
    while (!bytes.empty()) {
        const size_t nEnd = std::min(bytes.find('\n'), bytes.size());
        const std::string_view strLine = bytes.substr(0, nEnd);
        bytes.remove_prefix(std::min(nEnd + 1, bytes.size()));
        pid_t nPid = 0;
        const auto [pEnd, error] =
            std::from_chars(strLine.data(), strLine.data() + strLine.size(), nPid);
        if (error != std::errc() || pEnd != strLine.data() + strLine.size() || nPid <= 0) {
            continue;
        }
        if (pids.size() == nMax) {
            bMore = true;
            break;
        }
        pids.push_back(nPid);
    }
    return pids;
}

std::string ExecutableOfLink(std::string_view strLink) {
    constexpr std::string_view kDeleted = " (deleted)";
    if (strLink.ends_with(kDeleted)) {
        strLink.remove_suffix(kDeleted.size());
    }
    if (!strLink.starts_with('/')) {
        return {}; // not a path: no executable to name
    }
    return std::string(strLink.substr(strLink.rfind('/') + 1));
}

std::string ExecutableOfComm(std::string_view bytes) {
    bytes = bytes.substr(0, bytes.find('\n'));
    bytes = bytes.substr(0, bytes.find('\0'));
    return std::string(bytes);
}

CProcessNamer::CProcessNamer(std::string strProcRoot) : m_strProcRoot(std::move(strProcRoot)) {}

std::string CProcessNamer::LinkedExecutableOf(pid_t nPid) const {
    return ExecutableOfLink(ReadLink(m_strProcRoot + "/" + std::to_string(nPid) + "/exe"));
}

std::string CProcessNamer::ExecutableOf(pid_t nPid) const {
    // The executable's path, readable for processes the meter may trace (its user's); else the
    // name the process gave itself, which anyone may read.
    std::string strName = LinkedExecutableOf(nPid);
    return strName.empty() ? ExecutableOfComm(ReadSmallFile(
                                 m_strProcRoot + "/" + std::to_string(nPid) + "/comm", 64))
                           : strName;
}

std::vector<pid_t> CProcessNamer::PidsOf(const std::string& strGroupDir, const std::string& strExe,
                                         size_t nMax) const {
    std::vector<pid_t> pids;
    if (const auto it = m_groups.find(strGroupDir); it != m_groups.end()) {
        for (const auto& [nPid, strName] : it->second.processes) {
            if (strName == strExe && pids.size() < nMax) {
                pids.push_back(nPid);
            }
        }
    }
    return pids;
}

std::string CProcessNamer::CommandOf(pid_t nPid) const {
    return CommandOfCmdline(ReadSmallFile(m_strProcRoot + "/" + std::to_string(nPid) + "/cmdline",
                                          AppUsage::kMaxCommandBytes));
}

std::optional<std::string> CProcessNamer::NameOf(const std::string& strGroupDir, uint64_t nInode) {
    if (m_groups.size() >= kMaxGroups && !m_groups.contains(strGroupDir)) {
        m_groups.clear();
    }
    Group& group = m_groups[strGroupDir];
    if (const auto it = group.exeOfInode.find(nInode); it != group.exeOfInode.end()) {
        return it->second;
    }
    // The group's processes' programs are read again when its processes changed, and now and
    // then for a process that ran another program.
    std::string strProcs = ReadSmallFile(strGroupDir + "/cgroup.procs", 64 * 1024);
    const auto tNow = std::chrono::steady_clock::now();
    if (strProcs != group.strProcs || tNow - group.tRead >= kReread) {
        // The pacing and the last look's holder outlive a change of processes.
        Group fresh;
        fresh.tRead = tNow;
        fresh.tNextScan = group.tNextScan;
        fresh.strHolder = std::move(group.strHolder);
        group = std::move(fresh);
        bool bMore = false;
        const std::vector<pid_t> pids = ParsePidList(strProcs, kMaxProcesses, bMore);
        group.strProcs = std::move(strProcs);
        group.bTooMany = bMore;
        std::set<std::string> names;
        for (const pid_t nPid : bMore ? std::vector<pid_t>{} : pids) {
            std::string strName = ExecutableOf(nPid);
            if (!strName.empty()) {
                names.insert(strName);
                group.processes.emplace_back(nPid, std::move(strName));
            }
        }
        if (names.size() == 1) {
            group.strOnly = *names.begin();
        }
    }
    if (!group.strOnly.empty()) {
        return group.strOnly; // one program: whichever process holds the socket, it is that
    }
    // Looks at descriptors take at most a fiftieth of the time: after a look that took t, the
    // next one waits 50 t (at least a millisecond). Sockets asked for meanwhile go to the program
    // whose new socket the last look found; else the caller names them by their peers (or their
    // user).
    if (group.bTooMany || group.processes.empty()) {
        return std::nullopt;
    }
    if (tNow < group.tNextScan) {
        return group.strHolder.empty() ? std::nullopt : std::optional(group.strHolder);
    }
    const bool bLooked = LookAtDescriptors(group);
    const auto tAfter = std::chrono::steady_clock::now();
    group.tNextScan = tAfter + std::max<std::chrono::steady_clock::duration>(
                                   kMinScanPause, (tAfter - tNow) * kScanPauseFactor);
    if (!bLooked) {
        return std::nullopt;
    }
    const auto itExe = group.exeOfInode.find(nInode);
    if (itExe == group.exeOfInode.end()) {
        return std::nullopt;
    }
    // The program that opens sockets, as far as the group shows: descriptors a program inherited
    // and keeps do not make it one.
    group.strHolder = itExe->second;
    return itExe->second;
}

bool CProcessNamer::LookAtDescriptors(Group& group) const {
    group.exeOfInode.clear();
    size_t nFds = 0;
    for (const auto& [nPid, strName] : group.processes) {
        const std::string strFdDir = m_strProcRoot + "/" + std::to_string(nPid) + "/fd";
        const std::unique_ptr<DIR, DirCloser> pDir(::opendir(strFdDir.c_str()));
        if (!pDir) {
            continue; // gone, or another user's
        }
        while (const dirent* pEntry = ::readdir(pDir.get())) {
            if (pEntry->d_name[0] == '.') {
                continue;
            }
            if (++nFds > kMaxFds) {
                group.exeOfInode.clear();
                group.bTooMany = true; // until its processes change
                return false;
            }
            if (const uint64_t nInode =
                    ParseSocketLink(ReadLink(strFdDir + "/" + pEntry->d_name))) {
                group.exeOfInode.emplace(nInode, strName);
            }
        }
    }
    return true;
}
