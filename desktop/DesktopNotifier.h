#pragma once

#include <QObject>
#include <QString>

// Desktop notifications through the session bus's org.freedesktop.Notifications service. The
// call is asynchronous: the user-interface thread never waits for the service.
class CDesktopNotifier : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // User-interface thread: asks the service to show a notification.
    void Notify(const QString& strTitle, const QString& strText);

signals:
    // User-interface thread, when no service took the notification (none on the bus, or it
    // failed); receivers say it another way and must not block.
    void Undelivered(const QString& strTitle, const QString& strText);
    // User-interface thread, when the service showed it.
    void Delivered(uint nId);
};
