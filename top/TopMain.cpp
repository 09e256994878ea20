#include "TopMain.h"

#include "Capabilities.h"
#include "CaptureClient.h"
#include "EventLoop.h"
#include "RemoteNames.h"
#include "TopLayout.h"
#include "TopOptions.h"
#include "TopPlan.h"
#include "TrafficSampler.h"
#include "ZarnException.h"
#include "ZarnFd.h"

#include <curses.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

constexpr int kEscape = 27;
constexpr int kTab = '\t';

// The terminal in curses' hands for this object's life: every way out, a return or an exception,
// gives it back as it was. Only the loop's thread draws; nothing is drawn from a signal handler.
class CCursesSession {
public:
    // Throws CZarnException when the terminal cannot be driven (an unknown TERM).
    CCursesSession() {
        m_pScreen = newterm(nullptr, stdout, stdin);
        if (m_pScreen == nullptr) {
            throw CZarnException(EINVAL, "the terminal (TERM) is not one curses knows");
        }
        set_term(m_pScreen);
        cbreak();
        noecho();
        nonl();
        keypad(stdscr, TRUE);
        nodelay(stdscr, TRUE);
        set_escdelay(25);
        curs_set(0);
        // Colour only where the terminal has it and the user did not say NO_COLOR.
        const char* szNoColor = std::getenv("NO_COLOR");
        if (has_colors() && (szNoColor == nullptr || *szNoColor == '\0')) {
            start_color();
            use_default_colors();
            init_pair(1, COLOR_CYAN, -1);
            init_pair(2, COLOR_RED, -1);
            m_bColor = true;
        }
    }
    ~CCursesSession() {
        endwin();
        delscreen(m_pScreen);
    }
    CCursesSession(const CCursesSession&) = delete;
    CCursesSession& operator=(const CCursesSession&) = delete;

    // Loop thread: writes the lines that changed since the last call.
    void Draw(const TopScreen& screen) {
        if (screen == m_last) {
            return;
        }
        for (size_t n = 0; n < screen.lines.size(); ++n) {
            const TopLine& line = screen.lines[n];
            if (n < m_last.lines.size() && m_last.lines[n] == line) {
                continue;
            }
            const attr_t attr = Attribute(line.eStyle);
            // Cleared first: a line as wide as the screen leaves the cursor on the next one,
            // which clearing after writing would blank.
            move(static_cast<int>(n), 0);
            clrtoeol();
            attron(attr);
            addstr(line.strText.c_str());
            attroff(attr);
        }
        m_last = screen;
        refresh();
    }
    // Loop thread: takes the terminal's new size and draws everything again.
    void Resize() {
        winsize size{};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
            resizeterm(size.ws_row, size.ws_col);
        }
        m_last = {};
        clear();
    }

private:
    attr_t Attribute(ELineStyle eStyle) const {
        switch (eStyle) {
        case ELineStyle::Header:
            return A_BOLD | (m_bColor ? COLOR_PAIR(1) : 0);
        case ELineStyle::ColumnNames:
            return A_REVERSE;
        case ELineStyle::Message:
            return m_bColor ? COLOR_PAIR(2) : A_BOLD;
        case ELineStyle::Keys:
            return A_DIM;
        case ELineStyle::Row:
            break;
        }
        return A_NORMAL;
    }

    SCREEN* m_pScreen = nullptr;
    bool m_bColor = false;
    TopScreen m_last;
};

// The meter's view: messages (a failed device, a lost helper) are kept for the screen, on the
// loop's thread.
class CTopView : public IMeterView {
public:
    explicit CTopView(CEventLoop& loop) : m_loop(loop) {}

    // Loop thread: the screen follows the samples, not each count.
    void ShowCounters(int64_t, int64_t) override {}
    // Any thread: the message replaces the one shown.
    void ShowMessage(const std::string& strText, const char*) override {
        m_loop.Post([this, strText] {
            m_strMessage = strText;
            if (m_fnChanged) {
                m_fnChanged();
            }
        });
    }
    // Any thread: runs fn on the loop.
    void Post(std::function<void()> fn, int nDelayMs) override {
        m_loop.Post(std::move(fn), nDelayMs);
    }

    // Loop thread only.
    std::string m_strMessage;
    std::function<void()> m_fnChanged; // loop thread, after the message changed

private:
    CEventLoop& m_loop;
};

// Loop thread: what a key does to the choices; false for q.
bool OnKey(int nKey, TopChoices& choices, size_t nPage) {
    if (choices.bEditing) {
        if (nKey == '\n' || nKey == '\r' || nKey == KEY_ENTER) {
            choices.strFilter = choices.strEditing;
            choices.bEditing = false;
        } else if (nKey == kEscape) {
            choices.strFilter.clear();
            choices.bEditing = false;
        } else if (nKey == KEY_BACKSPACE || nKey == 127 || nKey == 8) {
            if (!choices.strEditing.empty()) {
                choices.strEditing.pop_back();
            }
        } else if (nKey >= ' ' && nKey < 256) {
            choices.strEditing += static_cast<char>(nKey);
        }
        return true;
    }
    if (choices.bHelp) {
        choices.bHelp = false;
        return nKey != 'q';
    }
    switch (nKey) {
    case 'q':
    case 'Q':
        return false;
    case 'd':
        choices.eView = ETopView::Devices;
        choices.nScroll = 0;
        break;
    case 'a':
        choices.eView = ETopView::Applications;
        choices.nScroll = 0;
        break;
    case 'c':
        choices.eView = ETopView::Connections;
        choices.nScroll = 0;
        break;
    case kTab:
        choices.eView = static_cast<ETopView>((static_cast<int>(choices.eView) + 1) % 3);
        choices.nScroll = 0;
        break;
    case 'n':
        choices.bNames = !choices.bNames;
        break;
    case 'l':
        choices.bCommands = !choices.bCommands;
        break;
    case 's':
        choices.eSort = static_cast<ETopSort>((static_cast<int>(choices.eSort) + 1) % 4);
        break;
    case 'u':
        choices.eUnits = static_cast<ETopUnits>((static_cast<int>(choices.eUnits) + 1) % 3);
        break;
    case 'p':
        choices.bPaused = !choices.bPaused;
        break;
    case kEscape:
        choices.strFilter.clear();
        break;
    case '/':
        choices.bEditing = true;
        choices.strEditing = choices.strFilter;
        break;
    case '?':
        choices.bHelp = true;
        break;
    case KEY_UP:
        choices.nScroll -= choices.nScroll > 0 ? 1 : 0;
        break;
    case KEY_DOWN:
        ++choices.nScroll; // brought back within the rows by the layout
        break;
    case KEY_PPAGE:
        choices.nScroll -= std::min(choices.nScroll, std::max<size_t>(nPage, 1));
        break;
    case KEY_NPAGE:
        choices.nScroll += std::max<size_t>(nPage, 1);
        break;
    case KEY_HOME:
        choices.nScroll = 0;
        break;
    case KEY_END:
        choices.nScroll = SIZE_MAX;
        break;
    default:
        break;
    }
    return true;
}

} // namespace

const char* NoTerminalLine() {
    return "standard output is no terminal: orvek top draws a screen; orvek-headless --json "
           "prints lines for scripts";
}

int RunTop(const std::vector<std::string>& args) {
    TopOptions options;
    std::string strError;
    if (!ParseTopOptions(args, options, strError)) {
        std::fprintf(stderr, "orvek: %s\n%s", strError.c_str(), TopUsage());
        return 2;
    }
    if (options.bHelp) {
        std::fputs(TopUsage(), stdout);
        // Apart, not "\n" + text: GCC 12 at -O2 warns falsely (-Wrestrict) about the sum.
        std::fputs("\n", stdout);
        std::fputs(DescribeSourceChoice(options.strSocket).c_str(), stdout);
        return 0;
    }
    if (options.bVersion) {
        std::printf("orvek %s\n", ORVEK_VERSION);
        return 0;
    }
    if (isatty(STDOUT_FILENO) == 0 || isatty(STDIN_FILENO) == 0) {
        std::fprintf(stderr, "orvek: %s\n", NoTerminalLine());
        return 2;
    }
    CaptureSource source;
    try {
        source = ChooseCaptureSource(options.strSocket);
    } catch (const CZarnException& e) {
        std::fprintf(stderr, "orvek: %s\n", e.GetDescription());
        return 1;
    }

    // Blocked before any thread starts, so that every thread inherits the mask and the signals
    // only reach the event loop, through the descriptor; curses never sees SIGWINCH itself. A
    // hang-up ends it as SIGTERM does.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGWINCH);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const CZarnFd hSignals(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!hSignals.IsOpen()) {
        std::fprintf(stderr, "orvek: signalfd: %s\n", std::strerror(errno));
        return 1;
    }
    std::setlocale(LC_CTYPE, "");

    CEventLoop loop;
    CTopView view(loop);
    int nStatus = 0;
    CCaptureClient meter(
        view, [&] { nStatus = 1; }, {}, source);
    meter.SetCaptureSettings(options.strFilter, options.bPromiscuous);
    meter.SetExcludedDevices(
        std::set<std::string>(options.vecExclude.begin(), options.vecExclude.end()));
    // The screen reads the snapshot once a sample: pushes faster than that are read by nobody.
    meter.SetPace(std::chrono::milliseconds(std::llround(options.dInterval * 1000)));

    std::unique_ptr<CCursesSession> pSession;
    try {
        pSession = std::make_unique<CCursesSession>();
    } catch (const CZarnException& e) {
        std::fprintf(stderr, "orvek: %s\n", DescribeError(e).c_str());
        return 1;
    }
    TopChoices& choices = options.choices;
    CTrafficSampler sampler;
    TrafficSample shown; // what the screen shows: the latest sample, or the one paused on
    // Names that arrive draw the screen again (coalesced: one redraw waits at a time). The
    // names' worker calls it; it only posts to the loop.
    std::atomic<bool> bNamesArrived = false;
    std::function<void()> draw;
    CRemoteNames names([&] {
        if (!bNamesArrived.exchange(true)) {
            loop.Post([&] {
                bNamesArrived = false;
                draw();
            });
        }
    });
    TopExtras extras;
    extras.fnName = [&names](const std::string& strAddress) { return names.Lookup(strAddress); };
    // The user's programs, read again at most every few seconds while applications are shown.
    std::optional<std::chrono::steady_clock::time_point> tProgramsRead;
    bool bCommandsRead = false;
    const auto readPrograms = [&] {
        const auto tNow = std::chrono::steady_clock::now();
        if (choices.eView != ETopView::Applications ||
            (tProgramsRead && tNow - *tProgramsRead < std::chrono::seconds(5) &&
             bCommandsRead == choices.bCommands)) {
            return;
        }
        tProgramsRead = tNow;
        bCommandsRead = choices.bCommands;
        extras.programs = ListOwnPrograms(getuid(), choices.bCommands);
    };
    // The plan's usage from the usage file, read again once a minute: the file moves no faster
    // than its recorder writes.
    const std::string strUsagePath = TopUsagePath(source.IsService());
    std::optional<std::chrono::steady_clock::time_point> tPlanRead;
    const auto readPlan = [&] {
        if (const auto tNow = std::chrono::steady_clock::now();
            !tPlanRead || tNow - *tPlanRead >= std::chrono::minutes(1)) {
            tPlanRead = tNow;
            extras.strPlan = ReadPlanLine(strUsagePath, std::time(nullptr));
        }
    };
    draw = [&] {
        int nHeight = 0, nWidth = 0;
        getmaxyx(stdscr, nHeight, nWidth);
        readPrograms();
        pSession->Draw(LayoutTop(shown, choices, nWidth, nHeight, view.m_strMessage, extras));
    };
    view.m_fnChanged = draw;
    {
        TopScreen starting;
        starting.lines.push_back({"Starting capture...", ELineStyle::Header});
        pSession->Draw(starting);
    }
    try {
        if (const std::string strFailures = meter.StartCapture(); !strFailures.empty()) {
            view.m_strMessage = strFailures;
        }
    } catch (const CZarnException& e) {
        // Shown on the screen until q: the user reads it where the numbers would be.
        view.m_strMessage = meter.DescribeFailure(e);
        nStatus = 1;
    }
    sampler.MarkCapture(meter.GetSnapshot());
    try {
        KeepOnlyCapabilities({});
    } catch (const CZarnException& e) {
        view.m_strMessage = DescribeError(e);
    }

    const auto interval = std::chrono::duration_cast<CEventLoop::Clock::duration>(
        std::chrono::duration<double>(options.dInterval));
    const auto sample = [&] {
        readPlan();
        sampler.Sample(meter.GetSnapshot(), std::chrono::steady_clock::now());
        if (!choices.bPaused) {
            shown = sampler.GetLatest();
        }
        draw();
    };
    // Samples fall at whole intervals from the start, so that they do not drift.
    std::function<void(CEventLoop::Clock::time_point)> sampleEvery;
    sampleEvery = [&](CEventLoop::Clock::time_point tDue) {
        sample();
        loop.PostAt(tDue + interval,
                    [&sampleEvery, tNext = tDue + interval] { sampleEvery(tNext); });
    };
    sample();
    loop.PostAt(
        CEventLoop::Clock::now() + interval,
        [&sampleEvery, tFirst = CEventLoop::Clock::now() + interval] { sampleEvery(tFirst); });
    loop.Watch(STDIN_FILENO, [&] {
        int nHeight = 0, nWidth = 0;
        getmaxyx(stdscr, nHeight, nWidth);
        const size_t nPage = static_cast<size_t>(std::max(nHeight - 6, 1));
        // A terminal that went away (SIGHUP ignored) leaves standard input at its end for good:
        // nothing more to show it.
        if (pollfd input{STDIN_FILENO, POLLIN, 0};
            poll(&input, 1, 0) == 1 && (input.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            loop.Quit();
            return;
        }
        for (int nKey = getch(); nKey != ERR; nKey = getch()) {
            if (nKey == KEY_RESIZE) {
                continue;
            }
            const bool bWasPaused = choices.bPaused;
            if (!OnKey(nKey, choices, nPage)) {
                loop.Quit();
                return;
            }
            if (bWasPaused && !choices.bPaused) {
                shown = sampler.GetLatest();
            }
        }
        draw();
    });
    loop.Watch(hSignals.Get(), [&] {
        signalfd_siginfo info{};
        bool bQuit = false, bResized = false;
        while (read(hSignals.Get(), &info, sizeof info) == sizeof info) {
            (info.ssi_signo == SIGWINCH ? bResized : bQuit) = true;
        }
        if (bQuit) {
            loop.Quit();
            return;
        }
        if (bResized) {
            pSession->Resize();
            draw();
        }
    });
    loop.Run();
    pSession.reset();
    meter.StopCapture();
    if (nStatus != 0 && !view.m_strMessage.empty()) {
        std::fprintf(stderr, "orvek: %s\n", view.m_strMessage.c_str());
    }
    return nStatus;
}
