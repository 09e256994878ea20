#pragma once

#include <QSettings>
#include <QTemporaryDir>

#include <string>

namespace orvektest {

// Points the settings of every window made from now on at a fresh folder of its own, so that no
// test reads another's choices (or the user's). Declare it before the window it serves.
class CTempSettings {
public:
    CTempSettings() { UsePath(m_dir.path().toStdString()); }
    // Settings in strPath/Orvek/Orvek.conf, whatever exists there.
    static void UsePath(const std::string& strPath) {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(strPath));
    }
    std::string GetPath() const { return m_dir.path().toStdString(); }
    std::string GetFile() const { return GetPath() + "/Orvek/Orvek.conf"; }

private:
    QTemporaryDir m_dir;
};

} // namespace orvektest
