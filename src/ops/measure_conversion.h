// Turning a status report into the reading DDSGetMeasure hands back.
#pragma once

#include <cstdint>

#include "protocol/protocol.h"

namespace velmar {

// Counts above this are converted to hertz directly; at and below it the
// count is too coarse and the measured period gives the frequency instead.
constexpr uint32_t kCountThreshold = 30000;

// Mode 0: frequency in hertz (count doubled when large, from the period in
// base clock ticks when small, 0 when nothing was counted). Any other mode:
// the doubled count. The doubling wraps in 32 bits as the instrument's own
// arithmetic does.
inline double MeasurementReading(int32_t mode, const StatusReport& report) {
    const uint32_t count = report.count();
    const double doubled = static_cast<double>(static_cast<uint32_t>(count * 2u));
    if (mode != 0) return doubled;
    if (count == 0) return 0.0;
    if (count > kCountThreshold) return doubled;
    return kBaseClockHz / static_cast<double>(report.period());
}

}  // namespace velmar
