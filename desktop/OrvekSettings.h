#pragma once

#include "Units.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <map>
#include <set>
#include <string>

// What Orvek keeps across runs: the filter and promiscuous choice of the last Capture, the
// excluded devices, the devices the user said are tunnels, where the Details window was, its
// graph's scale and the window's family of units. Defaults are those of a first start.
struct OrvekSettings {
    std::string strFilter = "tcp or udp";
    bool bPromiscuous = false;
    std::set<std::string> excluded;
    // Device to the device that carries it; to "" for a device the user said is no tunnel.
    std::map<std::string, std::string> tunnels;
    QByteArray detailsGeometry;
    bool bLogarithmic = false;
    EByteUnits eUnits = EByteUnits::Binary;
};

// The settings file, in the desktop's usual place (~/.config/Orvek/Orvek.conf, or under
// $XDG_CONFIG_HOME). A file that cannot be read or written never stops the application: reading
// then gives the defaults. A damaged file (not in settings format, or a value of the wrong kind)
// is moved aside as Orvek.conf.bad-<local time>, never overwritten. The first problem of any kind
// is said once, on standard error and to the reporter. User-interface thread only.
class COrvekSettings {
public:
    // Called once, on the user-interface thread, with the first problem's text; must not block.
    using ReportFn = std::function<void(const QString& strText)>;

    explicit COrvekSettings(ReportFn fnReport = {}) : m_fnReport(std::move(fnReport)) {}

    OrvekSettings Load();
    void SaveCapture(const std::string& strFilter, bool bPromiscuous);
    void SaveExcluded(const std::set<std::string>& excluded);
    void SaveTunnels(const std::map<std::string, std::string>& tunnels);
    void SaveDetailsGeometry(const QByteArray& geometry);
    void SaveLogarithmic(bool bLogarithmic);
    void SaveUnits(EByteUnits eUnits);

private:
    // Writes one key and syncs; a failure is reported once.
    template <class F> void Save(F write);
    // Says the first problem.
    void Report(const QString& strText);
    // Moves a damaged file aside and says so; while it cannot, nothing is written over it.
    void SetAside(const QString& strFile, const char* szWhy);

    ReportFn m_fnReport;
    bool m_bReported = false;
    bool m_bReadOnly = false;
};
