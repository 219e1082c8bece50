// Host alerts of the simulated host runtime. Not offered yet.
#include "host/korpro.h"
#include "sim/korpro_parts.h"

namespace korpro_sim {
void ResetAlerts() {}
}  // namespace korpro_sim

using korpro_sim::kNotSupported;

extern "C" {
uint32_t Kor5StartAlert(uint32_t, const char*, const char*, uint16_t, uint32_t, uint16_t, uint32_t, uint32_t,
                        uint32_t, uint32_t, uint32_t, uint32_t, uint32_t*) {
    return kNotSupported;
}
}  // extern "C"
