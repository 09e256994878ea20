#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QString>

#include <memory>

class QAction;
class QDBusServiceWatcher;
class QSystemTrayIcon;

// Orvek in the panel's tray: an icon whose tooltip holds the rates and the plan's usage, and a
// menu (show the window, Capture or Stop, Details, quit). Qt chooses the tray protocol when it
// first makes an icon and keeps that choice; so the icon is made only once a tray host exists (a
// StatusNotifierWatcher on the session bus, or an X11 tray manager), and made anew when a watcher
// appears later (a desktop extension, a late autostart).
class CTrayIcon : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";

    explicit CTrayIcon(QObject* pParent = nullptr);
    ~CTrayIcon() override;

    // Whether a tray host is there: a StatusNotifierWatcher on the session bus or an X11 tray
    // manager.
    static bool HasTrayHost();
    // Whether a tray shows the icon now.
    bool IsAvailable() const;
    // How many times the icon was made.
    int GetCreations() const { return m_nCreations; }
    QMenu* GetMenu() { return &m_menu; }
    QSystemTrayIcon* GetIcon() const { return m_pIcon.get(); }

    void SetToolTip(const QString& strTip);
    // The menu's Capture and Stop follow the window's state.
    void SetCapturing(bool bCapturing);

signals:
    // User-interface thread, from the menu or a click on the icon; receivers must not block
    // beyond what the window's own buttons do.
    void ShowWindow();
    void Capture();
    void Stop();
    void Details();
    void Quit();
    // User-interface thread, when the icon was made anew (a tray host appeared).
    void Recreated();

private:
    // Makes the icon anew with the current tooltip and menu, and shows it, when a tray host
    // exists.
    void Create();

    QIcon m_icon;
    QMenu m_menu;
    QAction* m_pCapture = nullptr;
    QAction* m_pStop = nullptr;
    QString m_strTip;
    std::unique_ptr<QSystemTrayIcon> m_pIcon;
    QDBusServiceWatcher* m_pWatcher = nullptr;
    int m_nCreations = 0;
};
