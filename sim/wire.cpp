#include "sim/wire.h"

namespace sim {

DirectWire::DirectWire(Line& line, Party& party) : line_(line), party_(party) {
    WorldLock lock(WorldMutex());
    line_.peer = this;
}

DirectWire::~DirectWire() {
    WorldLock lock(WorldMutex());
    if (line_.peer == this) line_.peer = nullptr;
}

void DirectWire::Connect() {
    WorldLock lock(WorldMutex());
    carrier_ = true;
    party_.Connected(lock, *this);
    Notify(lock);
}

void DirectWire::Drop() {
    WorldLock lock(WorldMutex());
    HangUp(lock);
}

void DirectWire::FromPort(WorldLock& lock, const uint8_t* data, size_t size) {
    if (carrier_) party_.FromDriver(lock, data, size);
}

bool DirectWire::CarrierDetect(const WorldLock&) { return carrier_; }

void DirectWire::SendToDriver(WorldLock& lock, const uint8_t* data, size_t size) {
    if (carrier_) SendToPort(lock, line_, data, size);
}

void DirectWire::HangUp(WorldLock& lock) {
    if (!carrier_) return;
    carrier_ = false;
    party_.Disconnected(lock);
    Notify(lock);
}

}  // namespace sim
