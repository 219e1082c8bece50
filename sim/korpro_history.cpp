// History files of the simulated host runtime. Not offered yet: opening fails.
#include "host/korpro.h"
#include "sim/korpro_parts.h"

namespace korpro_sim {
void ResetHistory() {}
}  // namespace korpro_sim

using korpro_sim::kNotSupported;

extern "C" {
uint32_t Kor5VfiOpen(uint32_t, uint32_t, uint32_t, uint32_t, const void*, uint32_t*) { return kNotSupported; }
uint32_t Kor5VfiRead(uint32_t, uint32_t*, void*) { return kNotSupported; }
uint32_t Kor5VfiClose(uint32_t) { return 0; }
}  // extern "C"
