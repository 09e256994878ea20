#pragma once

#include "MeterSnapshot.h"

#include <cstdint>
#include <map>
#include <string>

// What capture helpers that ended counted, carried on into the snapshots of the helper that runs
// now, so that each device counts on from where it was. The carried counts keep their counter id
// (DeviceSnapshot::nCounterId), whose promise holds across the carry: under one id a device's
// counts only grow. A device that the running helper forgets, or counts with new counters (it
// forgot it and it came back), loses its carried counts and counts from zero under the new id, as
// in the helper. Totals keep everything. Not thread-safe: the client's lock guards it.
class CEarlierCounts {
public:
    // The running helper's snapshot with the earlier counts added; devices only counted earlier
    // are "gone".
    MeterSnapshot Add(MeterSnapshot snapshot);
    // The running helper ended: last is its last snapshot, as it sent it. Its counts join the
    // earlier ones, every device stopped.
    void End(MeterSnapshot last);
    // What every ended helper counted, as shown while none runs.
    const MeterSnapshot& Get() const { return m_earlier; }

private:
    MeterSnapshot m_earlier;
    // Per device: the running helper's counter id its earlier counts were carried onto.
    std::map<std::string, uint64_t> m_carriedOnto;
};
