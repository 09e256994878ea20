#include "CaptureSource.h"

#include "ZarnException.h"
#include "ZarnFd.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

std::string ServiceSocketPath(const std::string& strOption, bool& bNamed) {
    bNamed = true;
    if (!strOption.empty()) {
        return strOption;
    }
    if (const char* szSocket = std::getenv(CaptureSource::kSocketVariable);
        szSocket != nullptr && *szSocket != '\0') {
        return szSocket;
    }
    bNamed = false;
    return CaptureSource::kDefaultSocket;
}

int ProbeServiceSocket(const std::string& strPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (strPath.size() >= sizeof address.sun_path) {
        return ENAMETOOLONG;
    }
    std::memcpy(address.sun_path, strPath.data(), strPath.size());
    const CZarnFd hSocket(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!hSocket.IsOpen()) {
        return errno;
    }
    while (connect(hSocket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
           0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

CaptureSource ChooseCaptureSource(const std::string& strOption) {
    bool bNamed = false;
    const std::string strPath = ServiceSocketPath(strOption, bNamed);
    if (strPath == CaptureSource::kNoService) {
        return {};
    }
    const int nError = ProbeServiceSocket(strPath);
    if (nError == 0) {
        return {strPath};
    }
    if (!bNamed) {
        return {};
    }
    const std::string strText =
        "Orvek's service does not answer at " + strPath + " (named by " +
        (strOption.empty() ? std::string("$") + CaptureSource::kSocketVariable
                           : std::string("--socket")) +
        "): " + std::strerror(nError);
    throw CZarnException(nError, strText.c_str());
}

std::string DescribeCaptureSource(const CaptureSource& source) {
    return source.IsService() ? "counting by the system service"
                              : "counting by its own capture helper";
}

std::string DescribeSourceChoice(const std::string& strOption) {
    try {
        const CaptureSource source = ChooseCaptureSource(strOption);
        bool bNamed = false;
        return source.IsService()
                   ? "Counting now by the system service at " + source.strSocket + ".\n"
               : ServiceSocketPath(strOption, bNamed) == CaptureSource::kNoService
                   ? std::string("Counting now by its own capture helper, as the socket \"none\" "
                                 "asks.\n")
                   : std::string("Counting now by its own capture helper: nothing answers at ") +
                         CaptureSource::kDefaultSocket + ".\n";
    } catch (const CZarnException& e) {
        return std::string("Not counting now: ") + e.GetDescription() + ".\n";
    }
}
