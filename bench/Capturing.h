#pragma once

// What the benchmarks that capture through the manager report of it.

#include "CaptureControl.h"
#include "Meter.h"

#include <algorithm>

namespace orvekbench {

// How many devices the control captures now.
inline long CountCapturing(const ICaptureControl& control) {
    const auto states = control.GetDeviceStates();
    return static_cast<long>(std::ranges::count_if(
        states, [](const DeviceState& state) { return state.eState == EDeviceState::Capturing; }));
}

// How many devices a meter captures now, by its snapshot.
inline long CountCapturing(const IMeter& meter) {
    return static_cast<long>(
        std::ranges::count_if(meter.GetSnapshot().devices, &DeviceSnapshot::bCapturing));
}

} // namespace orvekbench
