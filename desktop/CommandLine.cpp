#include "CommandLine.h"

#include <string_view>

namespace {

bool IsSet(const char* szValue) {
    return szValue != nullptr && szValue[0] != '\0';
}

// Whether a Qt platform (a "NAME:OPTIONS" entry of QT_QPA_PLATFORM or -platform) can start.
bool CanStart(std::string_view svPlatform, bool bX11, bool bWayland) {
    const std::string_view svName = svPlatform.substr(0, svPlatform.find(':'));
    if (svName == "xcb") {
        return bX11;
    }
    if (svName.starts_with("wayland")) {
        return bWayland;
    }
    // offscreen, minimal, vnc, linuxfb, eglfs...: no display server to find.
    return !svName.empty();
}

} // namespace

ELaunch ChooseLaunch(const std::vector<std::string>& args, const char* szDisplay,
                     const char* szWaylandDisplay, const char* szPlatform) {
    if (!args.empty() && args.front() == "--headless") {
        return ELaunch::Headless;
    }
    std::string_view svPlatform = IsSet(szPlatform) ? szPlatform : "";
    bool bX11 = IsSet(szDisplay);
    for (size_t n = 0; n < args.size(); ++n) {
        const std::string& strArg = args[n];
        if (strArg == "--help" || strArg == "-h") {
            return ELaunch::Help;
        }
        if (strArg == "--version") {
            return ELaunch::Version;
        }
        // Qt's own options, in either form: the platform, and the X display for xcb.
        if ((strArg == "-platform" || strArg == "--platform") && n + 1 < args.size()) {
            svPlatform = args[n + 1];
        }
        if ((strArg == "-display" || strArg == "--display") && n + 1 < args.size()) {
            bX11 = true;
        }
    }
    const bool bWayland = IsSet(szWaylandDisplay);
    if (svPlatform.empty()) {
        return bX11 || bWayland ? ELaunch::Window : ELaunch::NoDisplay;
    }
    // A list: Qt tries each in turn.
    while (!svPlatform.empty()) {
        const size_t nEnd = svPlatform.find(';');
        if (CanStart(svPlatform.substr(0, nEnd), bX11, bWayland)) {
            return ELaunch::Window;
        }
        svPlatform = nEnd == std::string_view::npos ? "" : svPlatform.substr(nEnd + 1);
    }
    return ELaunch::NoDisplay;
}

const char* WindowUsage() {
    return "Usage: orvek [--help | --version]\n"
           "       orvek --headless [OPTIONS]\n"
           "Counts this computer's network traffic, sent and received, on every device that "
           "carries it.\n"
           "\n"
           "  orvek                    open the window: a capture filter, Capture and Stop, the\n"
           "                           two totals, and a Details window of every device; needs a\n"
           "                           graphical session (DISPLAY or WAYLAND_DISPLAY)\n"
           "  orvek --headless [OPTIONS]\n"
           "                           run orvek-headless, without a window or display: prints\n"
           "                           the totals every second and can serve them to Prometheus;\n"
           "                           orvek --headless --help lists its options\n"
           "  --help                   print this help and exit\n"
           "  --version                print the version and exit\n"
           "\n"
           "Capturing needs the cap_net_raw capability, which the installed programs have.\n"
           "More in man orvek.\n";
}

std::string NoDisplayLine(const std::string& strWhy) {
    return "no display to open the window on (" + strWhy +
           "); orvek --headless counts without one (orvek --help says more)";
}
