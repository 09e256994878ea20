#include "DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

void CDesktopNotifier::Notify(const QString& strTitle, const QString& strText) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        emit Undelivered(strTitle, strText);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the
    // service's default).
    call << QStringLiteral("Orvek") << 0u << QStringLiteral("orvek") << strTitle << strText
         << QStringList() << QVariantMap() << -1;
    auto* pWatcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    // User-interface thread, when the service answered or the call failed.
    connect(pWatcher, &QDBusPendingCallWatcher::finished, this,
            [this, strTitle, strText](QDBusPendingCallWatcher* pCall) {
                const QDBusPendingReply<uint> reply = *pCall;
                pCall->deleteLater();
                if (reply.isError()) {
                    emit Undelivered(strTitle, strText);
                } else {
                    emit Delivered(reply.value());
                }
            });
}
