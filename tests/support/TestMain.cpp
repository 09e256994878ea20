// The one main of every test program. Live and window tests run in a network namespace of their
// own, entered before any thread starts; window tests run inside a QApplication.
#include "NetNs.h"

#include <gtest/gtest.h>

#ifdef ORVEK_GUI_TEST
#include <QApplication>
#endif
#ifdef ORVEK_DESKTOP_SESSION
#include "DesktopSession.h"
#endif

namespace {

// Long enough for the slowest test under ThreadSanitizer, short enough to fail a hang quickly.
constexpr int kHangSeconds = 120;

} // namespace

int main(int argc, char** argv) {
#if defined(ORVEK_LIVE_TEST) || defined(ORVEK_GUI_TEST)
    orvektest::EnterPrivateNetns();
#endif
#ifdef ORVEK_PRIVATE_MOUNTS
    orvektest::EnterPrivateMounts();
#endif
#ifdef ORVEK_DESKTOP_SESSION
    // Before the application: it connects to the display, and later to the bus, they name.
    static orvektest::CDesktopSession session;
#endif
#ifdef ORVEK_GUI_TEST
    QApplication app(argc, argv);
#endif
    testing::InitGoogleTest(&argc, argv);
    orvektest::InstallHangGuard(kHangSeconds);
    return RUN_ALL_TESTS();
}
