// Host alerts of the simulated host runtime.
#include "sim/korpro_alerts.h"

#include <mutex>

#include "host/korpro.h"
#include "sim/korpro_parts.h"

namespace korpro_sim {
namespace {

struct AlertState {
    std::mutex mutex;
    std::vector<Alert> alerts;
    uint32_t status = 0;
    uint32_t nextId = 1;
};

AlertState& A() {
    static AlertState state;
    return state;
}

}  // namespace

void ResetAlerts() {
    std::lock_guard lock(A().mutex);
    A().alerts.clear();
    A().status = 0;
    A().nextId = 1;
}

std::vector<Alert> Alerts() {
    std::lock_guard lock(A().mutex);
    return A().alerts;
}

void ClearAlerts() {
    std::lock_guard lock(A().mutex);
    A().alerts.clear();
}

void SetAlertStatus(uint32_t status) {
    std::lock_guard lock(A().mutex);
    A().status = status;
}

}  // namespace korpro_sim

extern "C" {
uint32_t Kor5StartAlert(uint32_t arg1, const char* source, const char* text, uint16_t severity, uint32_t flags,
                        uint16_t zone, uint32_t arg7, uint32_t attributes, uint32_t arg9, uint32_t arg10,
                        uint32_t arg11, uint32_t arg12, uint32_t* alertId) {
    using korpro_sim::A;
    std::lock_guard lock(A().mutex);
    A().alerts.push_back({arg1, source ? source : "", text ? text : "", severity, flags, zone, arg7, attributes, arg9,
                          arg10, arg11, arg12, alertId != nullptr});
    if (alertId) *alertId = A().nextId++;
    return A().status;
}
}  // extern "C"
