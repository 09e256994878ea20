#pragma once

#include "OrvekSettings.h"

#include <QByteArray>

#include <map>
#include <set>
#include <string>
#include <utility>

struct IMeter;

// The user's choices across runs, over the settings file: the last Capture's filter and
// promiscuous choice, the excluded devices, the devices said to be tunnels, where the Details
// window was, its graph's scale and the window's family of units. Gives the meter its part of them
// at the start, and writes each as it changes. User-interface thread only.
class CSettingsKeeper {
public:
    // fnReport as COrvekSettings': the first problem with the file, once.
    explicit CSettingsKeeper(COrvekSettings::ReportFn fnReport) : m_settings(std::move(fnReport)) {}

    // Reads the file and gives the meter the last run's filter, promiscuous choice, tunnels and
    // excluded devices; the first start has none.
    void Load(IMeter& meter);

    // Kept once it captured: a filter that libpcap refused is not offered again.
    void SaveCapture(const std::string& strFilter, bool bPromiscuous) {
        m_settings.SaveCapture(strFilter, bPromiscuous);
    }
    void SaveExcluded(const std::set<std::string>& excluded) { m_settings.SaveExcluded(excluded); }

    // Each device the user said is a tunnel with its carrier, or with "" one said to be none.
    const std::map<std::string, std::string>& GetTunnels() const { return m_tunnels; }
    // Keeps and writes the tunnels, and gives them to the meter.
    void SetTunnels(IMeter& meter, const std::map<std::string, std::string>& tunnels);

    const QByteArray& GetDetailsGeometry() const { return m_detailsGeometry; }
    // Written only when the window moved.
    void SetDetailsGeometry(const QByteArray& geometry);
    bool IsLogarithmic() const { return m_bLogarithmic; }
    void SetLogarithmic(bool bLogarithmic);
    // The family of units the user chose (binary until one is).
    EByteUnits GetUnits() const { return m_eUnits; }
    void SetUnits(EByteUnits eUnits);

private:
    COrvekSettings m_settings;
    std::map<std::string, std::string> m_tunnels;
    QByteArray m_detailsGeometry;
    bool m_bLogarithmic = false;
    EByteUnits m_eUnits = EByteUnits::Binary;
};
