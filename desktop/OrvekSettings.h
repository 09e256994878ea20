#pragma once

#include <QByteArray>

class QString;

#include <set>
#include <string>

// What Orvek keeps across runs: the filter and promiscuous choice of the last Capture, the
// excluded devices and where the Details window was. Defaults are those of a first start.
struct OrvekSettings {
    std::string strFilter = "tcp or udp";
    bool bPromiscuous = false;
    std::set<std::string> excluded;
    QByteArray detailsGeometry;
};

// The settings file, in the desktop's usual place (~/.config/Orvek/Orvek.conf, or under
// $XDG_CONFIG_HOME). A file that cannot be read or written never stops the application: reading
// then gives the defaults, and the first failure of either kind is said once on standard error.
// User-interface thread only.
class COrvekSettings {
public:
    OrvekSettings Load();
    void SaveCapture(const std::string& strFilter, bool bPromiscuous);
    void SaveExcluded(const std::set<std::string>& excluded);
    void SaveDetailsGeometry(const QByteArray& geometry);

private:
    // Writes one key and syncs; a failure is reported once.
    template <class F> void Save(F write);
    void Report(bool bReading, const QString& strFile, int nStatus);

    bool m_bReported = false;
};
