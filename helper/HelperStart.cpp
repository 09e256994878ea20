#include "HelperStart.h"

#include <csignal>
#include <cstdlib>
#include <string_view>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

std::vector<std::string> KeptEnvironment(const std::vector<std::string>& entries) {
    std::vector<std::string> kept;
    for (const std::string& strEntry : entries) {
        const size_t nEquals = strEntry.find('=');
        if (nEquals == std::string::npos) {
            continue;
        }
        const std::string_view name(strEntry.data(), nEquals);
        const std::string_view value = std::string_view(strEntry).substr(nEquals + 1);
        // Locale names hold no '/'; a zone is a name under the system's zone folder, never a
        // path (absolute, ':' for a file, or climbing out with "..").
        const bool bLocale = name == "LANG" || name == "LANGUAGE" || name.starts_with("LC_");
        if ((bLocale && value.find('/') == std::string_view::npos) ||
            (name == "TZ" && !value.starts_with('/') && !value.starts_with(':') &&
             value.find("..") == std::string_view::npos)) {
            kept.push_back(strEntry);
        }
    }
    return kept;
}

void SecureEnvironment(bool bSecure) {
    if (!bSecure) {
        return;
    }
    std::vector<std::string> entries;
    for (char** ppEntry = environ; ppEntry != nullptr && *ppEntry != nullptr; ++ppEntry) {
        entries.emplace_back(*ppEntry);
    }
    clearenv();
    for (const std::string& strEntry : KeptEnvironment(entries)) {
        const size_t nEquals = strEntry.find('=');
        setenv(strEntry.substr(0, nEquals).c_str(), strEntry.c_str() + nEquals + 1, 1);
    }
}

bool IsStartedByClient(int hFd) {
    // Set after exec: the kernel clears it when a file with capabilities is executed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int nDomain = 0, nType = 0;
    socklen_t nLength = sizeof nDomain;
    if (getsockopt(hFd, SOL_SOCKET, SO_DOMAIN, &nDomain, &nLength) != 0 || nDomain != AF_UNIX) {
        return false;
    }
    nLength = sizeof nType;
    if (getsockopt(hFd, SOL_SOCKET, SO_TYPE, &nType, &nLength) != 0 || nType != SOCK_STREAM) {
        return false;
    }
    // A pair's peer is the process that made it; a parent that has already gone is no client.
    ucred peer{};
    nLength = sizeof peer;
    return getsockopt(hFd, SOL_SOCKET, SO_PEERCRED, &peer, &nLength) == 0 && peer.pid == getppid();
}
