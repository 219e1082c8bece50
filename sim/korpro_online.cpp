// Host clients and gate messages of the simulated host runtime. Not offered
// yet: every call but the client removal fails.
#include "host/korpro.h"
#include "sim/korpro_parts.h"

namespace korpro_sim {
void ResetOnline() {}
}  // namespace korpro_sim

using korpro_sim::kNotSupported;

extern "C" {
uint32_t Kor5MkClient(const char*, uint32_t, uint32_t, uint8_t*) { return kNotSupported; }
uint32_t Kor5RqGateMsg(uint8_t, uint32_t, const uint32_t*, uint32_t) { return kNotSupported; }
uint32_t Kor5WaitMsg(uint8_t, void*, uint32_t) { return kNotSupported; }
uint32_t Kor5RmClient(uint8_t) { return 0; }
uint32_t Kor5PutGateVal(uint32_t, uint32_t, uint32_t, double, uint32_t, uint32_t) { return kNotSupported; }
}  // extern "C"
