// The window's command line, decided before Qt starts: the launch for crafted argument lists and
// environments, and the real binary refusing a bad command line with or without a display.

#include "CommandLine.h"
#include "NetNs.h"

#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::string>;
using orvektest::CChildProcess;

struct Case {
    Args args;
    const char* szDisplay;
    const char* szWayland;
    const char* szPlatform;
    ELaunch eLaunch;
    std::string strError; // what the refusal says, in part
};

TEST(WindowCommandLine, LaunchForEachCommandLineAndDisplay) {
    const char* const szNone = nullptr;
    for (const Case& test : std::vector<Case>{
             // The programs beside it read their own options, good or bad.
             {{"--headless", "--bogus"}, szNone, szNone, szNone, ELaunch::Headless, ""},
             {{"report", "--bogus"}, szNone, szNone, szNone, ELaunch::Report, ""},
             {{"top", "--bogus"}, szNone, szNone, szNone, ELaunch::Top, ""},
             {{"-h"}, szNone, szNone, szNone, ELaunch::Help, ""},
             {{"--autostart", "--help"}, szNone, szNone, szNone, ELaunch::Help, ""},
             {{"--version", "-reverse"}, szNone, szNone, szNone, ELaunch::Version, ""},
             {{"--autostart"}, ":0", szNone, szNone, ELaunch::Window, ""},
             {{"--autostart"}, "", szNone, szNone, ELaunch::NoDisplay, ""},
             {{}, szNone, "wayland-0", szNone, ELaunch::Window, ""},
             // Qt's options, with their values, choose the platform and display.
             {{"-platform", "offscreen"}, szNone, szNone, szNone, ELaunch::Window, ""},
             {{"--platform=offscreen", "--autostart"}, szNone, szNone, "xcb", ELaunch::Window, ""},
             {{"-display", ":1"}, szNone, szNone, "xcb", ELaunch::Window, ""},
             {{}, szNone, "wayland-0", "xcb", ELaunch::NoDisplay, ""},
             {{}, szNone, "wayland-0", "xcb;wayland", ELaunch::Window, ""},
             {{"-style", "fusion", "-stylesheet=a.qss", "-session", "1-2", "-reverse"},
              ":0",
              szNone,
              szNone,
              ELaunch::Window,
              ""},
             // Refused before any display is looked for, whatever the platform.
             {{"--no-such-option"},
              ":0",
              szNone,
              szNone,
              ELaunch::Refused,
              "unknown option '--no-such-option'"},
             {{"--no-such-option"}, szNone, szNone, "offscreen", ELaunch::Refused, "--no-such"},
             {{"--help", "-x"}, szNone, szNone, szNone, ELaunch::Refused, "'-x'"},
             {{"capture"}, szNone, szNone, szNone, ELaunch::Refused, "'capture'"},
             {{"-platform"}, szNone, szNone, szNone, ELaunch::Refused, "-platform"},
             {{"--version=1"}, szNone, szNone, szNone, ELaunch::Refused, "--version"},
             {{"--autostart", "--headless"},
              ":0",
              szNone,
              szNone,
              ELaunch::Refused,
              "--headless comes first"},
             {{"--autostart", "report"},
              ":0",
              szNone,
              szNone,
              ELaunch::Refused,
              "report comes first"},
             {{"--help", "top"}, ":0", szNone, szNone, ELaunch::Refused, "top comes first"},
             // The window's family of units, for one run.
             {{"--units", "decimal"}, ":0", szNone, szNone, ELaunch::Window, ""},
             {{"--units=binary", "--help"}, szNone, szNone, szNone, ELaunch::Help, ""},
             {{"--units", "octal"}, ":0", szNone, szNone, ELaunch::Refused, "'octal'"},
             {{"--units"}, ":0", szNone, szNone, ELaunch::Refused, "--units"}}) {
        std::string strError;
        const std::string strArgs = ::testing::PrintToString(test.args);
        EXPECT_EQ(
            ChooseLaunch(test.args, test.szDisplay, test.szWayland, test.szPlatform, strError),
            test.eLaunch)
            << strArgs << ' ' << strError;
        EXPECT_NE(strError.find(test.strError), std::string::npos) << strArgs << ' ' << strError;
        EXPECT_EQ(strError.find('\n'), std::string::npos) << strError;
    }
    // The window is given the choice; without one it keeps the setting.
    for (const auto& [args, units] :
         {std::pair{Args{"--units", "decimal"}, std::optional(EByteUnits::Decimal)},
          std::pair{Args{"--units=binary"}, std::optional(EByteUnits::Binary)},
          std::pair{Args{"--autostart"}, std::optional<EByteUnits>()}}) {
        std::string strError;
        WindowOptions options;
        EXPECT_EQ(ChooseLaunch(args, ":0", nullptr, nullptr, strError, &options), ELaunch::Window);
        EXPECT_EQ(options.units, units) << ::testing::PrintToString(args);
    }
}

// The binary itself: --help lists every option on standard output; a bad option is refused with
// status 2 and the usage on standard error, and no window opens, with or without a display.
TEST(WindowCommandLine, TheBinaryAnswersWithoutOpeningAWindow) {
    const std::string strUsage = WindowUsage();
    for (const char* szListed :
         {"\n  --autostart ", "\n  --units binary|decimal ", "\n  --headless [OPTIONS] ",
          "\n  -h,--help ", "\n  --version ", "\n  report ", "\n  top ", "-platform NAME"}) {
        EXPECT_NE(strUsage.find(szListed), std::string::npos) << szListed << '\n' << strUsage;
    }
    const Args noDisplay{"/usr/bin/env",    "-u", "DISPLAY",        "-u",
                         "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"};
    for (const auto& [strEnv, args, nStatus, strOut, strErr] :
         std::vector<std::tuple<std::string, Args, int, std::string, std::string>>{
             {"", {"--help"}, 0, strUsage, ""},
             {"", {"--no-such-option"}, 2, "", "orvek: unknown option '--no-such-option'\n"},
             {"QT_QPA_PLATFORM=offscreen",
              {"--no-such-option"},
              2,
              "",
              "orvek: unknown option '--no-such-option'\n"},
             {"DISPLAY=:79",
              {"--units", "octal"},
              2,
              "",
              "orvek: --units: 'octal' is not binary or decimal\n"},
             {"DISPLAY=:79",
              {"--autostart", "extra"},
              2,
              "",
              "orvek: unexpected argument 'extra'\n"}}) {
        Args command = noDisplay;
        if (!strEnv.empty()) {
            command.push_back(strEnv);
        }
        command.push_back(ORVEK_BINARY);
        command.insert(command.end(), args.begin(), args.end());
        CChildProcess orvek(command);
        EXPECT_EQ(orvek.Wait(), nStatus) << strEnv << ' ' << args[0] << orvek.GetStderr();
        EXPECT_EQ(orvek.GetStdout(), strOut) << strEnv << ' ' << args[0];
        EXPECT_EQ(orvek.GetStderr(), strErr.empty() ? "" : strErr + strUsage)
            << strEnv << ' ' << args[0];
    }
    // `orvek top` runs the terminal view beside it, which refuses without a terminal.
    Args top = noDisplay;
    top.insert(top.end(), {ORVEK_BINARY, "top", "--help"});
    CChildProcess help(top);
    EXPECT_EQ(help.Wait(), 0) << help.GetStderr();
    EXPECT_TRUE(help.GetStdout().starts_with("Usage: orvek-top [OPTIONS], or orvek top"))
        << help.GetStdout();
    top.back() = "--sort=total";
    CChildProcess noTerminal(top);
    EXPECT_EQ(noTerminal.Wait(), 2);
    EXPECT_TRUE(noTerminal.GetStderr().starts_with("orvek: standard output is no terminal"))
        << noTerminal.GetStderr();
}

} // namespace
