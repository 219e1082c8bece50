// The parts of the simulated host runtime, each with state of its own that
// korpro_sim::Reset() clears.
#pragma once

#include <cstdint>

namespace korpro_sim {

void ResetOnline();
void ResetHistory();
void ResetAlerts();

// Status the simulated host answers for a function it does not offer yet.
constexpr uint32_t kNotSupported = 0xFFFF;

}  // namespace korpro_sim
