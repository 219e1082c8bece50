// Host alerts of the simulated host runtime: every Kor5StartAlert call is
// kept with all its arguments, so tests and demos can see what was raised.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/korpro_sim.h"

namespace korpro_sim {

// One Kor5StartAlert call, argument by argument (texts copied).
struct Alert {
    uint32_t arg1;
    std::string source;
    std::string text;
    uint16_t severity;
    uint32_t flags;
    uint16_t zone;
    uint32_t arg7;
    uint32_t attributes;
    uint32_t arg9;
    uint32_t arg10;
    uint32_t arg11;
    uint32_t arg12;
    bool alertIdGiven;  // the 13th argument was a variable to fill
    bool operator==(const Alert&) const = default;
};

// The alerts raised since the last Reset() or ClearAlerts(), in order.
KORPRO_SIM_API std::vector<Alert> Alerts();
KORPRO_SIM_API void ClearAlerts();
// The status Kor5StartAlert answers (0 unless set).
KORPRO_SIM_API void SetAlertStatus(uint32_t status);

}  // namespace korpro_sim
