#include "TunnelChoice.h"

void MarkChosenTunnels(MeterSnapshot& snapshot, const std::map<std::string, std::string>& tunnels) {
    for (DeviceSnapshot& device : snapshot.devices) {
        const auto it = tunnels.find(device.strName);
        if (it != tunnels.end() && device.strState == "excluded") {
            device.strState = "carried inside " + it->second + " (set by the user)";
            device.bCarried = true;
            device.strCarriedBy = it->second;
        }
    }
}
