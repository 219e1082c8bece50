// The far end of a connection: who talks to the driver once a call stands
// (the central station), reached through the modem emulator or wired
// straight to the line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/world.h"

namespace sim {

class Party;

// What carries a party's bytes to the driver's port: a modem emulator in data
// mode, or a direct wire. Called with the world lock held.
class Connection {
public:
    virtual ~Connection() = default;
    virtual void SendToDriver(WorldLock& lock, const uint8_t* data, size_t size) = 0;
    // The party ends the call (the carrier drops at the driver's side).
    virtual void HangUp(WorldLock& lock) = 0;
};

class Party {
public:
    virtual ~Party() = default;
    // The connection is up; bytes may flow both ways.
    virtual void Connected(WorldLock& lock, Connection& connection) = 0;
    // Bytes the driver sent while connected.
    virtual void FromDriver(WorldLock& lock, const uint8_t* data, size_t size) = 0;
    // The connection is gone (the driver's side hung up or the line dropped).
    virtual void Disconnected(WorldLock& lock) = 0;
};

}  // namespace sim
