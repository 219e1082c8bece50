// Loading this variant of the driver installs the simulated platform, so a
// host process that brings the simulated world drives it on the virtual clock
// and the simulated modem lines ("SIM1" to "SIM9").
#include "platform/serial.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "sim/line.h"
#include "sim/world.h"

namespace {

struct SimPlatform {
    SimPlatform() {
        platform::UseTimeBackend(sim::TimeBackend());
        platform::UseThreadBackend(sim::ThreadBackend());
        platform::RegisterSerialBackend(sim::kLinePrefix, sim::LineBackend());
    }
};

const SimPlatform installed;

}  // namespace
