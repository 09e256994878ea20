#include "OwnPrograms.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string ReadSmallFile(const std::string& strPath, size_t nMax) {
    std::ifstream file(strPath, std::ios::binary);
    std::string strBytes(nMax, '\0');
    file.read(strBytes.data(), static_cast<std::streamsize>(nMax));
    strBytes.resize(static_cast<size_t>(file.gcount()));
    return strBytes;
}

} // namespace

std::string CommandLineOf(const std::string& strBytes) {
    std::string strLine = strBytes.substr(0, kMaxCommandBytes);
    while (!strLine.empty() && strLine.back() == '\0') {
        strLine.pop_back();
    }
    for (char& c : strLine) {
        if (c == '\0') {
            c = ' ';
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return strLine;
}

std::map<std::string, TopProgram> ListOwnPrograms(uid_t nUid, bool bCommands,
                                                  const std::string& strProcRoot) {
    std::map<std::string, TopProgram> programs;
    std::error_code error;
    size_t nSeen = 0;
    for (auto it = std::filesystem::directory_iterator(strProcRoot, error);
         !error && it != std::filesystem::directory_iterator() && nSeen < kMaxOwnProcesses;
         it.increment(error)) {
        const std::string strName = it->path().filename();
        pid_t nPid = 0;
        const auto [pEnd, eError] =
            std::from_chars(strName.data(), strName.data() + strName.size(), nPid);
        struct stat info {};
        if (eError != std::errc() || pEnd != strName.data() + strName.size() ||
            ::stat(it->path().c_str(), &info) != 0 || info.st_uid != nUid) {
            continue;
        }
        ++nSeen;
        // Named as the resolver names it: by its executable, else by its comm; a process that
        // ended meanwhile has neither.
        std::string strExe = std::filesystem::read_symlink(it->path() / "exe", error).string();
        error.clear();
        if (strExe.ends_with(" (deleted)")) {
            strExe.resize(strExe.size() - 10);
        }
        std::string strProgram = strExe.starts_with('/') ? strExe.substr(strExe.rfind('/') + 1)
                                                         : ReadSmallFile(it->path() / "comm", 64);
        strProgram = strProgram.substr(0, strProgram.find('\n'));
        if (!strProgram.empty()) {
            programs[strProgram].pids.push_back(nPid);
        }
    }
    for (auto& [strName, program] : programs) {
        std::ranges::sort(program.pids);
        if (bCommands) {
            program.strCommand = CommandLineOf(
                ReadSmallFile(strProcRoot + "/" + std::to_string(program.pids.front()) + "/cmdline",
                              kMaxCommandBytes));
        }
    }
    return programs;
}
