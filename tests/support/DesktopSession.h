#pragma once

// A desktop session of the test's own: a private D-Bus session bus (dbus-daemon --session) and an
// Xvfb display, started before the application first connects to either. Both end with the test
// process, however it ends.

#include <string>
#include <sys/types.h>

namespace orvektest {

class CDesktopSession {
public:
    // Starts both and points DBUS_SESSION_BUS_ADDRESS, DISPLAY and QT_QPA_PLATFORM (xcb: the
    // tray needs a real platform) at them. Aborts with a message when either cannot start.
    CDesktopSession();
    ~CDesktopSession();
    CDesktopSession(const CDesktopSession&) = delete;
    CDesktopSession& operator=(const CDesktopSession&) = delete;

    const std::string& GetBusAddress() const { return m_strBus; }

private:
    std::string m_strBus;
    pid_t m_nBus = -1, m_nDisplay = -1;
};

} // namespace orvektest
