#include "TrayIcon.h"

#include "OrvekApp.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QSystemTrayIcon>

CTrayIcon::CTrayIcon(QObject* pParent) : QObject(pParent), m_icon(COrvekApp::LoadIcon()) {
    m_menu.addAction(QStringLiteral("&Show Orvek"), this, &CTrayIcon::ShowWindow);
    m_pCapture = m_menu.addAction(QStringLiteral("&Capture"), this, &CTrayIcon::Capture);
    m_pStop = m_menu.addAction(QStringLiteral("S&top"), this, &CTrayIcon::Stop);
    m_pStop->setEnabled(false);
    m_menu.addAction(QStringLiteral("&Details..."), this, &CTrayIcon::Details);
    m_menu.addSeparator();
    m_menu.addAction(QStringLiteral("&Quit"), this, &CTrayIcon::Quit);

    m_pWatcher = new QDBusServiceWatcher(QLatin1String(kWatcherService),
                                         QDBusConnection::sessionBus(),
                                         QDBusServiceWatcher::WatchForRegistration, this);
    // User-interface thread, when a tray host registers its watcher: Qt looks for the protocol
    // only when an icon is made.
    connect(m_pWatcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        Create();
        emit Recreated();
    });
    Create();
}

CTrayIcon::~CTrayIcon() = default;

void CTrayIcon::Create() {
    m_pIcon.reset();
    m_pIcon = std::make_unique<QSystemTrayIcon>(m_icon);
    m_pIcon->setContextMenu(&m_menu);
    m_pIcon->setToolTip(m_strTip);
    // User-interface thread: a click on the icon shows the window; the menu has the rest.
    connect(m_pIcon.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason eReason) {
                if (eReason == QSystemTrayIcon::Trigger ||
                    eReason == QSystemTrayIcon::DoubleClick) {
                    emit ShowWindow();
                }
            });
    m_pIcon->show();
    ++m_nCreations;
}

bool CTrayIcon::IsAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void CTrayIcon::SetToolTip(const QString& strTip) {
    if (strTip == m_strTip) {
        return;
    }
    m_strTip = strTip;
    m_pIcon->setToolTip(strTip);
}

void CTrayIcon::SetCapturing(bool bCapturing) {
    m_pCapture->setEnabled(!bCapturing);
    m_pStop->setEnabled(bCapturing);
}
