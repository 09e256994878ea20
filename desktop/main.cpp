#include "CommandLine.h"
#include "OrvekApp.h"

#include <QtGlobal>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// `orvek --headless ...`, `orvek report ...` and `orvek top ...` are programs beside this one,
// without a display or Qt: strName with the arguments that follow the first.
int ExecBeside(const char* szName, char** argv) {
    char szSelf[PATH_MAX];
    const ssize_t nLength = ::readlink("/proc/self/exe", szSelf, sizeof szSelf - 1);
    std::string strProgram = szName;
    if (nLength > 0) {
        const std::string strSelf(szSelf, static_cast<size_t>(nLength));
        strProgram = strSelf.substr(0, strSelf.rfind('/') + 1) + strProgram;
    }
    // Its own name first, then the options that followed --headless, report or top.
    argv[1] = argv[0];
    ::execv(strProgram.c_str(), argv + 1);
    std::fprintf(stderr, "orvek: cannot run %s: %s\n", strProgram.c_str(), std::strerror(errno));
    return 1;
}

// Qt's messages while the application object starts are held back: a display that is named but
// cannot be opened ends in Qt's fatal error, which becomes the one line of a missing display
// instead of a core dump. Main thread only, during QApplication's construction.
std::string g_strStartupMessages;
std::string g_strFirstStartupMessage;

void OnStartupMessage(QtMsgType eType, const QMessageLogContext& context,
                      const QString& strMessage) {
    if (eType == QtFatalMsg) {
        const std::string strWhy =
            g_strFirstStartupMessage.empty() ? strMessage.toStdString() : g_strFirstStartupMessage;
        std::fprintf(stderr, "orvek: %s\n", NoDisplayLine(strWhy).c_str());
        std::_Exit(1);
    }
    if (g_strFirstStartupMessage.empty()) {
        g_strFirstStartupMessage = strMessage.toStdString();
    }
    g_strStartupMessages += qFormatLogMessage(eType, context, strMessage).toStdString() + "\n";
}

} // namespace

int main(int argc, char** argv) {
    std::string strError;
    WindowOptions options;
    switch (ChooseLaunch(std::vector<std::string>(argv + 1, argv + argc), std::getenv("DISPLAY"),
                         std::getenv("WAYLAND_DISPLAY"), std::getenv("QT_QPA_PLATFORM"), strError,
                         &options)) {
    case ELaunch::Headless:
        return ExecBeside("orvek-headless", argv);
    case ELaunch::Report:
        return ExecBeside("orvek-report", argv);
    case ELaunch::Top:
        return ExecBeside("orvek-top", argv);
    case ELaunch::Refused:
        std::fprintf(stderr, "orvek: %s\n%s", strError.c_str(), WindowUsage());
        return 2;
    case ELaunch::Help:
        std::fputs(WindowUsage(), stdout);
        return 0;
    case ELaunch::Version:
        std::printf("orvek %s\n", ORVEK_VERSION);
        return 0;
    case ELaunch::NoDisplay:
        std::fprintf(stderr, "orvek: %s\n",
                     NoDisplayLine("neither DISPLAY nor WAYLAND_DISPLAY is set").c_str());
        return 1;
    case ELaunch::Window:
        break;
    }
    const QtMessageHandler fnPrevious = qInstallMessageHandler(OnStartupMessage);
    COrvekApp app(argc, argv);
    qInstallMessageHandler(fnPrevious);
    std::fputs(g_strStartupMessages.c_str(), stderr);
    return app.Run(options);
}
