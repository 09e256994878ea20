#include "OrvekSettings.h"

#include <QDateTime>
#include <QFile>
#include <QSettings>
#include <QStringList>

#include <cstdio>

namespace {

constexpr const char* kKeyFilter = "capture/filter";
constexpr const char* kKeyPromiscuous = "capture/promiscuous";
constexpr const char* kKeyExcluded = "devices/excluded";
// "DEVICE=CARRIER" for each ("DEVICE=" for no tunnel): a device name holds no '=' that the kernel
// would take for a tunnel's.
constexpr const char* kKeyTunnels = "devices/tunnels";
constexpr const char* kKeyDetailsGeometry = "details/geometry";
constexpr const char* kKeyLogarithmic = "details/logarithmic";
// "binary" or "decimal"; another word (a later version's family) reads as the default.
constexpr const char* kKeyUnits = "display/units";

// Organisation and application "Orvek": ~/.config/Orvek/Orvek.conf, whatever the application
// object is called (tests run under another name).
QSettings OpenFile() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Orvek"),
                     QStringLiteral("Orvek"));
}

bool IsOfType(const QVariant& value, QMetaType::Type eType) {
    return !value.isValid() || value.typeId() == eType;
}

// The file stores a boolean as the text "true" or "false".
bool IsBoolean(const QVariant& value) {
    return !value.isValid() || value.typeId() == QMetaType::Bool ||
           (value.typeId() == QMetaType::QString && (value.toString() == QLatin1String("true") ||
                                                     value.toString() == QLatin1String("false")));
}

} // namespace

void COrvekSettings::Report(const QString& strText) {
    if (m_bReported) {
        return;
    }
    m_bReported = true;
    std::fprintf(stderr, "orvek: %s\n", strText.toLocal8Bit().constData());
    if (m_fnReport) {
        m_fnReport(strText);
    }
}

void COrvekSettings::SetAside(const QString& strFile, const char* szWhy) {
    const QString strStamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString strAside = strFile + QStringLiteral(".bad-") + strStamp;
    for (int n = 2; QFile::exists(strAside); ++n) {
        strAside = strFile + QStringLiteral(".bad-%1-%2").arg(strStamp).arg(n);
    }
    QFile file(strFile);
    if (file.rename(strAside)) {
        Report(QStringLiteral("The settings file %1 is damaged (%2): it is kept as %3, and Orvek "
                              "starts with the defaults.")
                   .arg(strFile, QLatin1String(szWhy), strAside));
        return;
    }
    m_bReadOnly = true;
    Report(QStringLiteral("The settings file %1 is damaged (%2) and cannot be moved aside (%3): "
                          "Orvek starts with the defaults and keeps no settings.")
               .arg(strFile, QLatin1String(szWhy), file.errorString()));
}

OrvekSettings COrvekSettings::Load() {
    OrvekSettings settings;
    QSettings file = OpenFile();
    const QVariant filter = file.value(QLatin1String(kKeyFilter));
    const QVariant promiscuous = file.value(QLatin1String(kKeyPromiscuous));
    const QVariant excluded = file.value(QLatin1String(kKeyExcluded));
    const QVariant tunnels = file.value(QLatin1String(kKeyTunnels));
    const QVariant geometry = file.value(QLatin1String(kKeyDetailsGeometry));
    const QVariant logarithmic = file.value(QLatin1String(kKeyLogarithmic));
    const QVariant units = file.value(QLatin1String(kKeyUnits));
    if (file.status() == QSettings::AccessError) {
        Report(QStringLiteral("Cannot read the settings file %1 (it cannot be accessed): Orvek "
                              "starts with the defaults.")
                   .arg(file.fileName()));
        return settings;
    }
    if (file.status() == QSettings::FormatError) {
        SetAside(file.fileName(), "not in settings format");
        return settings;
    }
    // A list of one device is stored as plain text.
    if (!IsOfType(filter, QMetaType::QString) || !IsBoolean(promiscuous) ||
        !IsBoolean(logarithmic) || !IsOfType(geometry, QMetaType::QByteArray) ||
        !IsOfType(units, QMetaType::QString) ||
        !(IsOfType(excluded, QMetaType::QStringList) || IsOfType(excluded, QMetaType::QString)) ||
        !(IsOfType(tunnels, QMetaType::QStringList) || IsOfType(tunnels, QMetaType::QString))) {
        SetAside(file.fileName(), "a value of the wrong kind");
        return settings;
    }
    if (filter.isValid()) {
        settings.strFilter = filter.toString().toStdString();
    }
    settings.bPromiscuous = promiscuous.toBool();
    for (const QString& strName : excluded.toStringList()) {
        if (!strName.isEmpty()) {
            settings.excluded.insert(strName.toStdString());
        }
    }
    for (const QString& strTunnel : tunnels.toStringList()) {
        const qsizetype nSplit = strTunnel.indexOf(QLatin1Char('='));
        if (nSplit > 0) {
            settings.tunnels[strTunnel.left(nSplit).toStdString()] =
                strTunnel.mid(nSplit + 1).toStdString();
        }
    }
    settings.detailsGeometry = geometry.toByteArray();
    settings.bLogarithmic = logarithmic.toBool();
    if (units.toString() == QLatin1String("decimal")) {
        settings.eUnits = EByteUnits::Decimal;
    }
    return settings;
}

template <class F> void COrvekSettings::Save(F write) {
    if (m_bReadOnly) {
        return;
    }
    QSettings file = OpenFile();
    write(file);
    file.sync();
    if (file.status() != QSettings::NoError) {
        Report(QStringLiteral("Cannot write the settings file %1 (%2): settings will not be kept.")
                   .arg(file.fileName(), file.status() == QSettings::FormatError
                                             ? QStringLiteral("it is not in settings format")
                                             : QStringLiteral("it cannot be accessed")));
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
    Save([&](QSettings& file) {
        // An empty list would be written as "@Invalid()": no key says it.
        if (names.isEmpty()) {
            file.remove(QLatin1String(kKeyExcluded));
        } else {
            file.setValue(QLatin1String(kKeyExcluded), names);
        }
    });
}

void COrvekSettings::SaveTunnels(const std::map<std::string, std::string>& tunnels) {
    QStringList entries;
    for (const auto& [strDevice, strCarrier] : tunnels) {
        entries.append(QString::fromStdString(strDevice + "=" + strCarrier));
    }
    Save([&](QSettings& file) {
        if (entries.isEmpty()) {
            file.remove(QLatin1String(kKeyTunnels));
        } else {
            file.setValue(QLatin1String(kKeyTunnels), entries);
        }
    });
}

void COrvekSettings::SaveDetailsGeometry(const QByteArray& geometry) {
    Save([&](QSettings& file) { file.setValue(QLatin1String(kKeyDetailsGeometry), geometry); });
}

void COrvekSettings::SaveLogarithmic(bool bLogarithmic) {
    Save([&](QSettings& file) { file.setValue(QLatin1String(kKeyLogarithmic), bLogarithmic); });
}

void COrvekSettings::SaveUnits(EByteUnits eUnits) {
    Save([&](QSettings& file) {
        file.setValue(QLatin1String(kKeyUnits), eUnits == EByteUnits::Decimal
                                                    ? QStringLiteral("decimal")
                                                    : QStringLiteral("binary"));
    });
}
