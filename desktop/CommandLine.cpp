#include "CommandLine.h"

#include "Autostart.h"
#include "OptionParser.h"

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

// Qt's own options, which QApplication takes out of the command line: those with a value and
// those without. Qt reads them with one dash or two, the value after them or after '='.
constexpr std::string_view kQtValueOptions[] = {
    "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "display", "geometry",
    "style",       "stylesheet",         "name",          "title",   "visual"};
constexpr std::string_view kQtFlags[] = {"reverse", "widgetcount", "nograb",
                                         "dograb",  "sync",        "qmljsdebugger"};

template <size_t N> bool IsOneOf(std::string_view svName, const std::string_view (&names)[N]) {
    for (const std::string_view svOne : names) {
        if (svName == svOne) {
            return true;
        }
    }
    return false;
}

const char* const kUsage =
    "Usage: orvek [--autostart] [--units binary|decimal] [--socket PATH] [Qt's options]\n"
    "       orvek --headless [OPTIONS]\n"
    "       orvek report [OPTIONS]\n"
    "       orvek top [OPTIONS]\n"
    "Counts this computer's network traffic, sent and received, on every device that carries "
    "it.\n"
    "Without options it opens the window: a capture filter, Capture and Stop, the two totals, and "
    "a\n"
    "Details window of every device; it needs a graphical session (DISPLAY or WAYLAND_DISPLAY).\n";
const char* const kFooter =
    "Qt's own options (-platform NAME, -display NAME, -style NAME, -reverse...) go to Qt.\n"
    "Capturing needs the cap_net_raw capability, which the installed programs have.\n"
    "More in man orvek.\n";

// The window's options; the programs beside it are listed for --help only, as they count first.
void AddWindowOptions(COptionParser& parser, bool& bHelp, bool& bVersion, bool& bHeadless,
                      WindowOptions& options) {
    CLI::App& app = parser.App();
    app.add_flag(std::string(kAutostartOption))
        ->description("start capturing with the last settings, in the tray when there is one "
                      "(how \"Start at login\" starts Orvek)");
    AddByteUnitsOption(
        app,
        "the window's sizes and rates in binary units, KiB, MiB, GiB of 1,024 (the "
        "default), or decimal ones, kB, MB, GB of 1,000, for this run, over the "
        "choice kept from the window's menu; the plan's figures keep the plan's unit",
        [&options](EByteUnits eUnits) { options.units = eUnits; });
    AddSocketOption(app, options.strSocket);
    app.add_flag("--headless", bHeadless,
                 "as the first argument: run orvek-headless with the OPTIONS that follow, without "
                 "a window or display; it prints the totals every second and can serve them to "
                 "Prometheus (orvek --headless --help lists its options)")
        ->option_text("[OPTIONS]");
    app.add_flag("-h,--help", bHelp, "print this help and exit");
    app.add_flag("--version", bVersion, "print the version and exit");
    app.add_subcommand("report",
                       "as the first argument: run orvek-report with the OPTIONS that follow, "
                       "without a window or display: the usage kept so far by hours, days, months "
                       "or the plan's cycle (orvek report --help lists its options)")
        ->group("Programs beside it");
    app.add_subcommand("top", "as the first argument: run orvek-top with the OPTIONS that follow: "
                              "a live view of the devices and applications in the terminal, "
                              "without a window or display (orvek top --help lists its options)")
        ->group("Programs beside it");
}

} // namespace

ELaunch ChooseLaunch(const std::vector<std::string>& args, const char* szDisplay,
                     const char* szWaylandDisplay, const char* szPlatform, std::string& strError,
                     WindowOptions* pOptions) {
    if (!args.empty() && args.front() == "--headless") {
        return ELaunch::Headless;
    }
    if (!args.empty() && args.front() == "report") {
        return ELaunch::Report;
    }
    if (!args.empty() && args.front() == "top") {
        return ELaunch::Top;
    }
    std::string_view svPlatform = IsSet(szPlatform) ? szPlatform : "";
    bool bX11 = IsSet(szDisplay);
    // Qt's options are left to Qt; the platform and the X display chosen there count here.
    std::vector<std::string> own;
    for (size_t n = 0; n < args.size(); ++n) {
        std::string_view svArg = args[n];
        svArg.remove_prefix(svArg.starts_with("--") ? 2 : svArg.starts_with("-") ? 1 : 0);
        const std::string_view svName = svArg.substr(0, svArg.find('='));
        const bool bInline = svName.size() < svArg.size();
        if (args[n].starts_with("-") && IsOneOf(svName, kQtValueOptions) &&
            (bInline || n + 1 < args.size())) {
            const std::string_view svValue = bInline ? svArg.substr(svName.size() + 1) : args[++n];
            if (svName == "platform") {
                svPlatform = svValue;
            } else if (svName == "display") {
                bX11 = true;
            }
        } else if (!(args[n].starts_with("-") && IsOneOf(svName, kQtFlags))) {
            own.push_back(args[n]);
        }
    }
    bool bHelp = false, bVersion = false, bHeadless = false;
    WindowOptions options;
    COptionParser parser(kUsage, kFooter);
    AddWindowOptions(parser, bHelp, bVersion, bHeadless, options);
    if (!parser.Parse(own, strError)) {
        return ELaunch::Refused;
    }
    if (bHeadless || parser.App().got_subcommand("report") || parser.App().got_subcommand("top")) {
        strError = std::string(bHeadless                               ? "--headless"
                               : parser.App().got_subcommand("report") ? "report"
                                                                       : "top") +
                   " comes first, and the other program's options after it";
        return ELaunch::Refused;
    }
    if (bHelp) {
        return ELaunch::Help;
    }
    if (bVersion) {
        return ELaunch::Version;
    }
    if (pOptions != nullptr) {
        *pOptions = options;
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
    // Made once from the options themselves, so that it lists every one.
    static const std::string strUsage = [] {
        bool bHelp = false, bVersion = false, bHeadless = false;
        WindowOptions options;
        COptionParser parser(kUsage, kFooter);
        AddWindowOptions(parser, bHelp, bVersion, bHeadless, options);
        return parser.Help();
    }();
    return strUsage.c_str();
}

std::string NoDisplayLine(const std::string& strWhy) {
    return "no display to open the window on (" + strWhy +
           "); orvek --headless counts without one (orvek --help says more)";
}
