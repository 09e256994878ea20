#include "CaptureAdvice.h"

#include <algorithm>
#include <climits>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Whether a file carries file capabilities (setcap's extended attribute).
bool HasFileCapabilities(const std::string& strPath) {
    return getxattr(strPath.c_str(), "security.capability", nullptr, 0) > 0;
}

bool IsSameFile(const std::string& strA, const std::string& strB) {
    struct stat a {};
    struct stat b {};
    return stat(strA.c_str(), &a) == 0 && stat(strB.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// A path as a shell command takes it: quoted when it holds anything but plain path characters.
std::string ShellWord(const std::string& strPath) {
    const bool bPlain = std::ranges::all_of(strPath, [](char ch) {
        return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
               std::string_view("/._+-").find(ch) != std::string_view::npos;
    });
    if (bPlain) {
        return strPath;
    }
    std::string strQuoted = "'";
    for (const char ch : strPath) {
        strQuoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    }
    return strQuoted + "'";
}

// "a", "a and b", "a, b and c".
std::string JoinNames(const std::vector<std::string>& names) {
    std::string strOut;
    for (size_t n = 0; n < names.size(); ++n) {
        strOut += n == 0 ? "" : n + 1 == names.size() ? " and " : ", ";
        strOut += names[n];
    }
    return strOut;
}

} // namespace

std::string GetSelfPath() {
    char szPath[PATH_MAX];
    const ssize_t nLength = readlink("/proc/self/exe", szPath, sizeof szPath);
    return nLength > 0 && static_cast<size_t>(nLength) < sizeof szPath
               ? std::string(szPath, static_cast<size_t>(nLength))
               : std::string();
}

std::string DescribePermissionFix(const std::string& strCapturingBinary) {
    std::string strFix = "Capturing needs the cap_net_raw capability.";
    if (strCapturingBinary.empty()) {
        return strFix + " Run this program as root, or give it the capability with setcap "
                        "cap_net_raw+ep (as root).";
    }
    const std::string strName = strCapturingBinary.substr(strCapturingBinary.rfind('/') + 1);
    // The programs capture through the helper, which alone is installed with the capability.
    const bool bHelper = strName == "orvek-capture";
    const std::string strInstalled = bHelper ? std::string(ORVEK_INSTALL_HELPER)
                                             : std::string(ORVEK_INSTALL_BINDIR "/") + strName;
    if (HasFileCapabilities(strCapturingBinary)) {
        // The file has it, the process did not get it: a filesystem mounted nosuid, or a parent
        // that forbade new privileges.
        return strFix + " " + strCapturingBinary +
               " has it, but this process did not get it (its filesystem is mounted nosuid, or "
               "new privileges are not allowed here); run " +
               (bHelper ? "Orvek" : "it") + " as root.";
    }
    if (HasFileCapabilities(strInstalled) && !IsSameFile(strInstalled, strCapturingBinary)) {
        strFix += bHelper ? " The installed orvek and orvek-headless capture through " +
                                strInstalled + ", which has it; or give"
                          : " Run the installed " + strInstalled + ", which has it, or give";
    } else {
        strFix += " Give";
    }
    return strFix + " it to " + (bHelper ? "this capture helper" : "this program") +
           " (as root): setcap cap_net_raw+ep " + ShellWord(strCapturingBinary);
}

std::string DescribeNothingCaptured(const std::vector<DeviceState>& states,
                                    const std::string& strHowToInclude) {
    std::vector<std::string> failed, excluded, tunnels;
    for (const DeviceState& state : states) {
        switch (state.eState) {
        case EDeviceState::Capturing:
            return "";
        case EDeviceState::Failed:
            failed.push_back(state.strName);
            break;
        case EDeviceState::Excluded:
            excluded.push_back(state.strName);
            break;
        case EDeviceState::Carried:
            // The user's tunnels are the user's choice too: their traffic counts on a carrier.
            if (state.bChosen) {
                tunnels.push_back(state.strName);
            }
            break;
        default:
            break;
        }
    }
    std::string strMessage = "No device is captured, so nothing is counted: ";
    if (failed.empty() && excluded.empty() && tunnels.empty()) {
        return strMessage + "no device is up with an IPv4 or IPv6 address (loopback devices and "
                            "bridge ports are never captured). Devices are opened as they come up.";
    }
    if (!failed.empty()) {
        strMessage += JoinNames(failed) + " could not be opened";
        strMessage += excluded.empty() && tunnels.empty() ? "." : " and ";
    }
    if (!excluded.empty()) {
        strMessage += JoinNames(excluded) + (excluded.size() == 1 ? " is" : " are") + " excluded";
        strMessage += tunnels.empty() ? ". " + strHowToInclude : " and ";
    }
    if (!tunnels.empty()) {
        strMessage +=
            JoinNames(tunnels) +
            (tunnels.size() == 1 ? " is said to be a tunnel" : " are said to be tunnels") +
            " (its traffic counts on the device that carries it). " + strHowToInclude;
    }
    return strMessage;
}
