#pragma once

#include "Units.h"

#include <optional>
#include <string>
#include <vector>

// What `orvek ARGS` does, decided before Qt starts: Qt aborts where it finds no display.
enum class ELaunch {
    Window,    // open the window
    Help,      // print WindowUsage() and exit 0
    Version,   // print the version and exit 0
    NoDisplay, // say there is no display (NoDisplayLine()) and exit 1
    Headless,  // hand the arguments after --headless to orvek-headless
    Report,    // hand the arguments after report to orvek-report
    Top,       // hand the arguments after top to orvek-top
    Refused    // a bad command line: say why, then WindowUsage(), and exit 2
};

// The window's choices from its command line, for the run they are given to.
struct WindowOptions {
    std::optional<EByteUnits> units; // --units: over the kept setting, for this run only
    std::string strSocket;           // --socket: the service's socket; "" to look where it is
};

// Pure: the launch for the arguments (without the program's name) and the environment's DISPLAY,
// WAYLAND_DISPLAY and QT_QPA_PLATFORM (null when unset); for Refused, strError is the one-line
// reason. --headless, report and top count only as the first argument; after them the other program
// reads the rest. Otherwise every argument is the window's (--autostart, --help, --version) or
// one of Qt's own options (-platform NAME, -style NAME, -reverse...), else the command line is
// refused. For Window, pOptions (when given) receives the window's choices. A display is at hand
// when the Qt platform chosen (-platform NAME, else QT_QPA_PLATFORM, else the desktop's) needs
// none, or when the one it needs is named: DISPLAY for xcb, WAYLAND_DISPLAY for Wayland, either for
// the desktop's default.
ELaunch ChooseLaunch(const std::vector<std::string>& args, const char* szDisplay,
                     const char* szWaylandDisplay, const char* szPlatform, std::string& strError,
                     WindowOptions* pOptions = nullptr);

// The --help text, every way of running Orvek and every option; ends with a newline.
const char* WindowUsage();

// The one line said without a display (no "orvek: " prefix, no line end); strWhy says what is
// missing.
std::string NoDisplayLine(const std::string& strWhy);
