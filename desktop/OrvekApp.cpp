#include "OrvekApp.h"

#include "Autostart.h"
#include "DesktopNotifier.h"
#include "OrvekDlg.h"
#include "TimedSampler.h"
#include "TrafficText.h"
#include "TrayIcon.h"
#include "UsageKeeper.h"

#include <QMessageBox>

#include <cstdio>

// Outside any namespace, as Q_INIT_RESOURCE requires.
static void InitOrvekResources() {
    Q_INIT_RESOURCE(orvek);
}

COrvekApp::COrvekApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Orvek"));
    setApplicationVersion(QStringLiteral(ORVEK_VERSION));
    setDesktopFileName(QStringLiteral("orvek"));
    setWindowIcon(LoadIcon());
}

int COrvekApp::Run(const WindowOptions& options) {
    // Decided once: the system service when it answers, else a capture helper of its own; a
    // socket the user named that does not answer is said, and the window does not open.
    CaptureSource source;
    try {
        source = ChooseCaptureSource(options.strSocket);
    } catch (const CZarnException& e) {
        std::fprintf(stderr, "orvek: %s\n", e.GetDescription());
        QMessageBox::critical(nullptr, QStringLiteral("Orvek"),
                              QString::fromUtf8(e.GetDescription()));
        return 1;
    }
    COrvekDlg dlg(nullptr, source);
    if (options.units) {
        dlg.SetUnits(*options.units, false);
    }
    // Before any Capture: the keeper's first sample is its base.
    CSystemUsageClock clock;
    CUsageKeeper keeper(dlg.GetSampler(), clock, {}, source.IsService());
    keeper.SetServiceSocket(source.strSocket);
    dlg.SetUsage(&keeper);
    CDesktopNotifier notifier;
    CTrayIcon tray;
    WireUp(dlg, keeper, notifier, tray);

    // The window may hide to the tray: the application ends when the window ends, not when it
    // hides.
    setQuitOnLastWindowClosed(false);
    connect(&dlg, &QDialog::finished, this, &QApplication::quit);
    if (arguments().contains(QLatin1String(kAutostartOption))) {
        // Started at login: capturing with the last settings, in the tray if there is one.
        dlg.OnBnClickedCapture();
        if (!tray.IsAvailable()) {
            dlg.show();
        }
    } else {
        dlg.show();
    }
    exec();
    // Capture has stopped: the last counts are written before the process ends.
    dlg.GetSampler().Sample();
    keeper.Flush(true);
    return 0;
}

void COrvekApp::WireUp(COrvekDlg& dlg, CUsageKeeper& keeper, CDesktopNotifier& notifier,
                       CTrayIcon& tray) {
    dlg.SetHideToTray([&tray] { return tray.IsAvailable(); });
    // User-interface thread, all of them.
    connect(&keeper, &CUsageKeeper::AlertDue, &notifier,
            [&notifier](int, const QString& strTitle, const QString& strText) {
                notifier.Notify(strTitle, strText);
            });
    connect(&notifier, &CDesktopNotifier::Undelivered, &keeper,
            [&keeper](const QString& strTitle, const QString& strText) {
                keeper.SetUndeliveredAlert(strTitle + QStringLiteral(": ") + strText);
            });
    connect(&tray, &CTrayIcon::ShowWindow, &dlg, [&dlg] {
        dlg.showNormal();
        dlg.raise();
        dlg.activateWindow();
    });
    connect(&tray, &CTrayIcon::Capture, &dlg, [&dlg] { dlg.OnBnClickedCapture(); });
    connect(&tray, &CTrayIcon::Stop, &dlg, [&dlg] { dlg.OnBnClickedStop(); });
    connect(&tray, &CTrayIcon::Details, &dlg, [&dlg] { dlg.OpenDetails(); });
    connect(&tray, &CTrayIcon::Quit, &dlg, [&dlg] { dlg.done(0); });
    connect(&dlg, &COrvekDlg::CapturingChanged, &tray, &CTrayIcon::SetCapturing);
    const auto updateTip = [&dlg, &keeper, &tray] {
        tray.SetToolTip(TrayToolTip(dlg.GetSampler().GetLatest(), keeper, dlg.GetUnits()));
    };
    connect(&dlg.GetSampler(), &CTimedSampler::Sampled, &tray, updateTip);
    connect(&keeper, &CUsageKeeper::Updated, &tray, updateTip);
    connect(&dlg, &COrvekDlg::UnitsChanged, &tray, updateTip);
}

QString COrvekApp::TrayToolTip(const TrafficSample& sample, const CUsageKeeper& keeper,
                               EByteUnits eUnits) {
    QString strTip = QStringLiteral("Orvek");
    if (sample.dRecvRate >= 0) {
        strTip += QStringLiteral("\nReceived %1, sent %2")
                      .arg(RateText(sample.dRecvRate, eUnits), RateText(sample.dSentRate, eUnits));
    }
    if (keeper.GetPlanStatus()) {
        strTip += QStringLiteral("\nData plan: ") + keeper.DescribePlan();
    }
    if (!keeper.GetUndeliveredAlert().isEmpty()) {
        strTip += QLatin1Char('\n') + keeper.GetUndeliveredAlert();
    }
    return strTip;
}

QIcon COrvekApp::LoadIcon() {
    static const bool bRegistered = (InitOrvekResources(), true);
    (void)bRegistered;
    QIcon icon;
    for (const int nSize : {16, 32, 48}) {
        icon.addFile(QStringLiteral(":/orvek/orvek%1.png").arg(nSize), QSize(nSize, nSize));
    }
    return icon;
}
