#include "TrayIcon.h"

#include "OrvekApp.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace {

// Whether an X11 tray manager (the XEmbed protocol's) owns the screen's tray selection.
bool HasXEmbedTray() {
    const auto* pX11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (pX11 == nullptr || pX11->connection() == nullptr) {
        return false;
    }
    xcb_connection_t* pConnection = pX11->connection();
    static constexpr char kSelection[] = "_NET_SYSTEM_TRAY_S0";
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> pAtom(
        xcb_intern_atom_reply(pConnection,
                              xcb_intern_atom(pConnection, 1, sizeof kSelection - 1, kSelection),
                              nullptr),
        &std::free);
    if (!pAtom || pAtom->atom == XCB_ATOM_NONE) {
        return false;
    }
    const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> pOwner(
        xcb_get_selection_owner_reply(pConnection,
                                      xcb_get_selection_owner(pConnection, pAtom->atom), nullptr),
        &std::free);
    return pOwner && pOwner->owner != XCB_NONE;
}

} // namespace

CTrayIcon::CTrayIcon(QObject* pParent) : QObject(pParent), m_icon(COrvekApp::LoadIcon()) {
    m_menu.addAction(QStringLiteral("&Show Orvek"), this, &CTrayIcon::ShowWindow);
    m_pCapture = m_menu.addAction(QStringLiteral("&Capture"), this, &CTrayIcon::Capture);
    m_pStop = m_menu.addAction(QStringLiteral("S&top"), this, &CTrayIcon::Stop);
    m_pStop->setEnabled(false);
    m_menu.addAction(QStringLiteral("&Details..."), this, &CTrayIcon::Details);
    m_menu.addSeparator();
    m_menu.addAction(QStringLiteral("&Quit"), this, &CTrayIcon::Quit);

    m_pWatcher =
        new QDBusServiceWatcher(QLatin1String(kWatcherService), QDBusConnection::sessionBus(),
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

bool CTrayIcon::HasTrayHost() {
    const QDBusConnectionInterface* pBus = QDBusConnection::sessionBus().interface();
    return (pBus != nullptr && pBus->isServiceRegistered(QLatin1String(kWatcherService))) ||
           HasXEmbedTray();
}

void CTrayIcon::Create() {
    // Qt decides between the D-Bus tray and the X11 one when it first makes an icon, and keeps
    // that choice for the process: no icon is made (nor Qt asked) before a tray host exists.
    if (!HasTrayHost()) {
        return;
    }
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
    return m_pIcon != nullptr && QSystemTrayIcon::isSystemTrayAvailable();
}

void CTrayIcon::SetToolTip(const QString& strTip) {
    if (strTip == m_strTip) {
        return;
    }
    m_strTip = strTip;
    if (m_pIcon) {
        m_pIcon->setToolTip(strTip);
    }
}

void CTrayIcon::SetCapturing(bool bCapturing) {
    m_pCapture->setEnabled(!bCapturing);
    m_pStop->setEnabled(bCapturing);
}
