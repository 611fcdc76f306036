// The identity the simulated parent bus gives the modem function. Its hardware IDs are
// USB\VID_1A2B&PID_0001&REV_0100 and USB\VID_1A2B&PID_0001; the driver's INF installs on the
// second. tools/infcheck reads the two values from this file, so the INF and the simulation
// cannot drift apart: keep each on one line in this form.
#pragma once

#include <cstdint>

namespace sim {

inline constexpr uint16_t kModemVendorId = 0x1A2B;
inline constexpr uint16_t kModemProductId = 0x0001;

}  // namespace sim
