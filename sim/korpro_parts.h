// The parts of the simulated host runtime, each with state of its own that
// korpro_sim::Reset() clears.
#pragma once

namespace korpro_sim {

void ResetOnline();
void ResetHistory();
void ResetAlerts();

}  // namespace korpro_sim
