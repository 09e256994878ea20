#include "TunnelChoice.h"

void MarkChosenTunnels(MeterSnapshot& snapshot, const std::map<std::string, std::string>& tunnels) {
    for (DeviceSnapshot& device : snapshot.devices) {
        const auto it = tunnels.find(device.strName);
        if (it != tunnels.end() && !it->second.empty() && device.strState == "excluded") {
            device.strState = "carried inside " + it->second + " (set by the user)";
            device.bCarried = true;
            device.strCarriedBy = it->second;
        }
    }
}

std::set<std::string> NotTunnels(const std::map<std::string, std::string>& tunnels) {
    std::set<std::string> devices;
    for (const auto& [strDevice, strCarrier] : tunnels) {
        if (strCarrier.empty()) {
            devices.insert(strDevice);
        }
    }
    return devices;
}
