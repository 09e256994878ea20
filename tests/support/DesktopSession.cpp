#include "DesktopSession.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace orvektest {

namespace {

// Starts a program that writes one line to the descriptor it is told (its first line of
// output), and returns its pid and that line. The program dies with the test process.
pid_t StartWithLine(std::vector<std::string> args, const std::string& strFdOption,
                    std::string& strLine) {
    int aPipe[2];
    if (pipe(aPipe) != 0) {
        std::perror("pipe");
        std::abort();
    }
    // "--option=" is one argument with the descriptor, "-option " two.
    if (strFdOption.ends_with(' ')) {
        args.push_back(strFdOption.substr(0, strFdOption.size() - 1));
        args.push_back(std::to_string(aPipe[1]));
    } else {
        args.push_back(strFdOption + std::to_string(aPipe[1]));
    }
    const pid_t nPid = fork();
    if (nPid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(aPipe[0]);
        std::vector<char*> argv;
        for (std::string& strArg : args) {
            argv.push_back(strArg.data());
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(aPipe[1]);
    char ch = 0;
    while (read(aPipe[0], &ch, 1) == 1 && ch != '\n') {
        strLine += ch;
    }
    close(aPipe[0]);
    if (strLine.empty()) {
        std::fprintf(stderr, "%s did not start (Debian packages dbus-daemon and xvfb)\n",
                     args[0].c_str());
        std::abort();
    }
    return nPid;
}

void End(pid_t nPid) {
    if (nPid > 0) {
        kill(nPid, SIGTERM);
        waitpid(nPid, nullptr, 0);
    }
}

} // namespace

CDesktopSession::CDesktopSession() {
    // No service directories: nothing on this machine is started by the bus on demand, so a
    // service is there only when a test registers it.
    char szConfig[] = "/tmp/orvek-bus-XXXXXX";
    const int hConfig = mkstemp(szConfig);
    const std::string strConfig =
        "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
        "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
        "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
        "</busconfig>\n";
    if (hConfig < 0 || write(hConfig, strConfig.data(), strConfig.size()) !=
                           static_cast<ssize_t>(strConfig.size())) {
        std::perror("bus configuration");
        std::abort();
    }
    close(hConfig);
    m_nBus = StartWithLine(
        {"dbus-daemon", std::string("--config-file=") + szConfig, "--nofork", "--nopidfile"},
        "--print-address=", m_strBus);
    unlink(szConfig); // read at its start
    std::string strDisplay;
    m_nDisplay = StartWithLine({"Xvfb", "-nolisten", "tcp", "-screen", "0", "1024x768x24"},
                               "-displayfd ", strDisplay);
    setenv("DBUS_SESSION_BUS_ADDRESS", m_strBus.c_str(), 1);
    setenv("DISPLAY", (":" + strDisplay).c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    // A desktop's own tray and theme choices must not leak in from the caller's environment.
    unsetenv("XDG_CURRENT_DESKTOP");
    unsetenv("QT_QPA_PLATFORMTHEME");
}

CDesktopSession::~CDesktopSession() {
    End(m_nDisplay);
    End(m_nBus);
}

} // namespace orvektest
