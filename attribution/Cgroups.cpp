#include "Cgroups.h"

#include <filesystem>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

namespace {

// Groups made since the last walk are looked for again after this pause.
constexpr std::chrono::milliseconds kWalkPause{200};

bool EndsWith(std::string_view str, std::string_view strEnd) {
    return str.size() >= strEnd.size() && str.substr(str.size() - strEnd.size()) == strEnd;
}

bool StartsWith(std::string_view str, std::string_view strStart) {
    return str.substr(0, strStart.size()) == strStart;
}

// A scope's or service's name without its instance part ("-1234", "@1234").
std::string_view WithoutInstance(std::string_view str) {
    if (const size_t nAt = str.rfind('@'); nAt != std::string_view::npos) {
        return str.substr(0, nAt);
    }
    const size_t nDash = str.rfind('-');
    if (nDash == std::string_view::npos || nDash + 1 == str.size()) {
        return str;
    }
    for (const char c : str.substr(nDash + 1)) {
        const bool bHex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        if (!bHex) {
            return str;
        }
    }
    return str.substr(0, nDash);
}

int HexDigit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A unit name's escapes undone: "\x2d" is a dash in an application id.
std::string Unescape(std::string_view str) {
    std::string strOut;
    for (size_t n = 0; n < str.size(); ++n) {
        const bool bEscape = str[n] == '\\' && n + 3 < str.size() && str[n + 1] == 'x' &&
                             HexDigit(str[n + 2]) >= 0 && HexDigit(str[n + 3]) >= 0;
        const int nByte = bEscape ? HexDigit(str[n + 2]) * 16 + HexDigit(str[n + 3]) : 0;
        if (nByte != 0) {
            strOut += static_cast<char>(nByte);
            n += 3;
        } else {
            strOut += str[n];
        }
    }
    return strOut;
}

} // namespace

std::string AppNameFromCgroupPath(std::string_view strPath, EAppKind* peKind) {
    if (peKind != nullptr) {
        *peKind = EAppKind::Group;
    }
    while (EndsWith(strPath, "/")) {
        strPath.remove_suffix(1);
    }
    std::string_view strLast = strPath.substr(strPath.rfind('/') + 1);
    if (strLast.empty() || EndsWith(strLast, ".slice") || StartsWith(strLast, "session-") ||
        StartsWith(strLast, "user@") || strLast == "init.scope") {
        return {};
    }
    // Desktop applications' scopes and services: app-[<launcher>-]<id>-<random>.scope,
    // app-[<launcher>-]<id>@<random>.service.
    if (StartsWith(strLast, "app-") &&
        (EndsWith(strLast, ".scope") || EndsWith(strLast, ".service"))) {
        std::string_view strApp = strLast.substr(4, strLast.rfind('.') - 4);
        strApp = WithoutInstance(strApp);
        // The launcher comes first when a dash follows it before the id.
        if (const size_t nDash = strApp.find('-'); nDash != std::string_view::npos) {
            strApp = strApp.substr(nDash + 1);
        }
        if (!strApp.empty()) {
            if (peKind != nullptr) {
                *peKind = EAppKind::DesktopApp;
            }
            return Unescape(strApp);
        }
    }
    return std::string(strLast);
}

CCgroupIndex::CCgroupIndex(std::string strRoot) : m_strRoot(std::move(strRoot)) {
    if (!m_strRoot.empty()) {
        return;
    }
    for (const char* szCandidate : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
        struct statfs info {};
        if (::statfs(szCandidate, &info) == 0 &&
            static_cast<unsigned long>(info.f_type) == CGROUP2_SUPER_MAGIC) {
            m_strRoot = szCandidate;
            return;
        }
    }
}

std::optional<std::string> CCgroupIndex::FindPath(uint64_t nId) {
    if (m_strRoot.empty()) {
        return std::nullopt;
    }
    auto it = m_paths.find(nId);
    const auto tNow = std::chrono::steady_clock::now();
    if (it == m_paths.end()) {
        // A group made since the last walk is found at its first socket (a program's group is
        // often made just before it talks); one a walk did not find waits for kWalkPause.
        if (m_tLastWalk && tNow - *m_tLastWalk >= kWalkPause) {
            m_missing.clear();
        }
        if (m_missing.contains(nId)) {
            return std::nullopt;
        }
        m_tLastWalk = tNow;
        Walk();
        it = m_paths.find(nId);
        if (it == m_paths.end()) {
            if (m_missing.size() >= kMaxMissing) {
                m_missing.clear();
            }
            m_missing.insert(nId);
            return std::nullopt;
        }
    }
    return it->second;
}

void CCgroupIndex::Walk() {
    namespace fs = std::filesystem;
    m_paths.clear();
    struct stat info {};
    if (::stat(m_strRoot.c_str(), &info) == 0) {
        m_paths.emplace(info.st_ino, std::string());
    }
    std::error_code error;
    // Groups come and go while this walks: what vanishes is skipped.
    for (fs::recursive_directory_iterator
             it(m_strRoot, fs::directory_options::skip_permission_denied, error),
         end;
         !error && it != end; it.increment(error)) {
        if (!it->is_directory(error) || error) {
            error.clear();
            continue;
        }
        if (::stat(it->path().c_str(), &info) == 0) {
            m_paths.emplace(info.st_ino, it->path().lexically_relative(m_strRoot).string());
        }
    }
}
