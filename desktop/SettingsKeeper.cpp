#include "SettingsKeeper.h"

#include "Meter.h"

namespace {

// The user's word on tun devices goes down as two lists: the tunnels, each with its carrier, and
// ("" as the carrier) the devices that are none, whatever Orvek finds.
void ApplyTunnels(IMeter& meter, const std::map<std::string, std::string>& tunnels) {
    std::map<std::string, std::string> chosen;
    std::set<std::string> notTunnels;
    for (const auto& [strDevice, strCarrier] : tunnels) {
        if (strCarrier.empty()) {
            notTunnels.insert(strDevice);
        } else {
            chosen.emplace(strDevice, strCarrier);
        }
    }
    meter.SetTunnels(chosen);
    meter.SetNotTunnels(notTunnels);
}

} // namespace

void CSettingsKeeper::Load(IMeter& meter) {
    const OrvekSettings settings = m_settings.Load();
    meter.SetCaptureSettings(settings.strFilter, settings.bPromiscuous);
    m_detailsGeometry = settings.detailsGeometry;
    m_bLogarithmic = settings.bLogarithmic;
    m_eUnits = settings.eUnits;
    m_tunnels = settings.tunnels;
    ApplyTunnels(meter, m_tunnels);
    // Tunnels used to be kept excluded as well; a tunnel is captured now (for its inner
    // traffic), and one the user unticks is no longer a tunnel: none is both. A device said to
    // be no tunnel may be excluded.
    std::set<std::string> excluded = settings.excluded;
    for (const auto& [strDevice, strCarrier] : m_tunnels) {
        if (!strCarrier.empty()) {
            excluded.erase(strDevice);
        }
    }
    meter.SetExcludedDevices(excluded);
}

void CSettingsKeeper::SetTunnels(IMeter& meter, const std::map<std::string, std::string>& tunnels) {
    m_tunnels = tunnels;
    ApplyTunnels(meter, m_tunnels);
    m_settings.SaveTunnels(tunnels);
}

void CSettingsKeeper::SetDetailsGeometry(const QByteArray& geometry) {
    if (geometry != m_detailsGeometry) {
        m_detailsGeometry = geometry;
        m_settings.SaveDetailsGeometry(geometry);
    }
}

void CSettingsKeeper::SetLogarithmic(bool bLogarithmic) {
    m_bLogarithmic = bLogarithmic;
    m_settings.SaveLogarithmic(bLogarithmic);
}

void CSettingsKeeper::SetUnits(EByteUnits eUnits) {
    m_eUnits = eUnits;
    m_settings.SaveUnits(eUnits);
}
