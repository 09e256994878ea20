#pragma once

#include "CommandLine.h"
#include "Units.h"

#include <QApplication>
#include <QIcon>
#include <QString>

class CDesktopNotifier;
class COrvekDlg;
class CTrayIcon;
class CUsageKeeper;
struct TrafficSample;

// The application object: names the application, gives it its icon and runs the main dialog with
// the usage file, the tray icon and desktop notifications; the process ends when the dialog ends
// (closing it hides it while a tray holds the icon). With --autostart it starts capturing, hidden
// when there is a tray.
class COrvekApp : public QApplication {
    Q_OBJECT

public:
    COrvekApp(int& argc, char** argv);

    // Shows the main dialog and returns once it has ended; the command line's choices hold for
    // this run.
    int Run(const WindowOptions& options = {});

    // The tray's tooltip: the current rates in the family of units, the plan's usage in the
    // plan's unit and an alert no notification service took.
    static QString TrayToolTip(const TrafficSample& sample, const CUsageKeeper& keeper,
                               EByteUnits eUnits);
    // Connects the window, the usage file, the notifications and the tray.
    static void WireUp(COrvekDlg& dlg, CUsageKeeper& keeper, CDesktopNotifier& notifier,
                       CTrayIcon& tray);

    // The application icon in all its sizes, from the compiled-in resources.
    static QIcon LoadIcon();
};
