#include "OrvekSettings.h"

#include <QSettings>
#include <QStringList>

#include <cstdio>

namespace {

constexpr const char* kKeyFilter = "capture/filter";
constexpr const char* kKeyPromiscuous = "capture/promiscuous";
constexpr const char* kKeyExcluded = "devices/excluded";
constexpr const char* kKeyDetailsGeometry = "details/geometry";

// Organisation and application "Orvek": ~/.config/Orvek/Orvek.conf, whatever the application
// object is called (tests run under another name).
QSettings OpenFile() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Orvek"),
                     QStringLiteral("Orvek"));
}

const char* DescribeStatus(int nStatus) {
    return nStatus == QSettings::FormatError ? "the file is not in settings format"
                                             : "the file cannot be accessed";
}

} // namespace

void COrvekSettings::Report(bool bReading, const QString& strFile, int nStatus) {
    if (m_bReported) {
        return;
    }
    m_bReported = true;
    std::fprintf(stderr, "orvek: cannot %s the settings file %s (%s); %s\n",
                 bReading ? "read" : "write", strFile.toLocal8Bit().constData(),
                 DescribeStatus(nStatus),
                 bReading ? "using the defaults" : "settings will not be kept");
}

OrvekSettings COrvekSettings::Load() {
    OrvekSettings settings;
    QSettings file = OpenFile();
    const QVariant filter = file.value(QLatin1String(kKeyFilter));
    const QVariant promiscuous = file.value(QLatin1String(kKeyPromiscuous));
    const QStringList excluded = file.value(QLatin1String(kKeyExcluded)).toStringList();
    const QByteArray geometry = file.value(QLatin1String(kKeyDetailsGeometry)).toByteArray();
    if (file.status() != QSettings::NoError) {
        Report(true, file.fileName(), file.status());
        return settings;
    }
    if (filter.isValid()) {
        settings.strFilter = filter.toString().toStdString();
    }
    settings.bPromiscuous = promiscuous.toBool();
    for (const QString& strName : excluded) {
        if (!strName.isEmpty()) {
            settings.excluded.insert(strName.toStdString());
        }
    }
    settings.detailsGeometry = geometry;
    return settings;
}

template <class F> void COrvekSettings::Save(F write) {
    QSettings file = OpenFile();
    write(file);
    file.sync();
    if (file.status() != QSettings::NoError) {
        Report(false, file.fileName(), file.status());
    }
}

void COrvekSettings::SaveCapture(const std::string& strFilter, bool bPromiscuous) {
    Save([&](QSettings& file) {
        file.setValue(QLatin1String(kKeyFilter), QString::fromStdString(strFilter));
        file.setValue(QLatin1String(kKeyPromiscuous), bPromiscuous);
    });
}

void COrvekSettings::SaveExcluded(const std::set<std::string>& excluded) {
    QStringList names;
    for (const std::string& strName : excluded) {
        names.append(QString::fromStdString(strName));
    }
    Save([&](QSettings& file) { file.setValue(QLatin1String(kKeyExcluded), names); });
}

void COrvekSettings::SaveDetailsGeometry(const QByteArray& geometry) {
    Save([&](QSettings& file) { file.setValue(QLatin1String(kKeyDetailsGeometry), geometry); });
}
