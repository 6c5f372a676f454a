#pragma once
// One channel record of the module handle, filled from the operator's choices for the
// channel; the acquisition run and the application of the settings at discovery share it.

#include "qmx58api.h"

#include <algorithm>

namespace qmx {

// inputMode: 0 differential with DC, 1 differential AC-coupled, 2 ICP sensor. The range
// index used is the ICP one in ICP mode, else the differential one (clamped to the module's
// two ranges). AC coupling is meaningful only outside ICP mode and is left as it was there.
inline void fillChannelRecord(Qmx58ChannelConfig& rec, bool enabled, int inputMode, int diffRange, int icpRange)
{
    const bool icp = inputMode == 2;
    rec.enabled = enabled ? 1 : 0;
    rec.icpSensorMode = icp ? 1 : 0;
    rec.inputRangeIndex = static_cast<std::uint8_t>(std::clamp(icp ? icpRange : diffRange, 0, 1));
    if (!icp)
        rec.acCoupling = inputMode == 1 ? 1 : 0;
    rec.zeroField = 0;
}

}  // namespace qmx
