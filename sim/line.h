// A simulated serial line. The driver opens its port end by name ("SIM1" to
// "SIM9") through the platform serial layer; the far end belongs to a peer
// that tests attach: the modem emulator, or a central station wired straight
// to the port. Reads follow the comm time-out rules of a real port, on the
// world's clock.
//
// Locking: every field of a Line belongs to the world lock (WorldMutex()).
// The port backend takes it for each call; the peer's callbacks run with it
// held, and the peer-side functions below are called with it held. Anyone else who looks at or
// changes a line (a test setting faults, swapping the peer, reading the
// transcript or the counters) holds it too, through Locked() or a WorldLock
// of its own, whether or not another thread runs at that moment; so does a
// test that reads or sets its peer's own fields (UnderWorldLock). The lock is
// not recursive: never call the port, or anything else that takes it, while
// holding it.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/serial.h"
#include "sim/world.h"

namespace sim {

// The far side of a line. Its calls come with the world lock held.
class LinePeer {
public:
    virtual ~LinePeer() = default;
    // Bytes the port has written.
    virtual void FromPort(WorldLock& lock, const uint8_t* data, size_t size) = 0;
    virtual void DtrChanged(WorldLock&, bool /*dtr*/) {}
    // The carrier-detect line as the port sees it.
    virtual bool CarrierDetect(const WorldLock& lock) = 0;
    // Called before the port looks at the line (reads, bytes waiting, modem
    // status): a peer with timed events brings them up to the present, so an
    // event due at this very moment is seen whichever thread woke first.
    virtual void Poll(WorldLock&) {}
};

// Faults a test can put on the port end. A count of -1 means every call.
struct LineFaults {
    int failReads = 0;
    uint32_t readError = platform::kErrorGenFailure;
    int failWrites = 0;
    uint32_t writeError = platform::kErrorGenFailure;
    int writeLimit = -1;  // bytes a write accepts at most (short writes)
    int failModemStatus = 0;
    uint32_t modemStatusError = platform::kErrorGenFailure;
    int failClearError = 0;
    bool failOpen = false;
    bool failGetState = false;
    bool failSetState = false;
    bool failGetTimeouts = false;
    bool failSetTimeouts = false;
    bool failClose = false;
};

enum class Direction { ToPeer, ToPort, Dtr };

struct LineEvent {
    int64_t timeMs;
    Direction direction;
    std::vector<uint8_t> bytes;  // for Dtr: one byte, the new state
};

struct Line {
    std::string name;
    LinePeer* peer = nullptr;

    // port end
    bool open = false;
    platform::Dcb dcb{};
    platform::CommTimeouts timeouts{};
    uint32_t inQueueSize = 0;
    uint32_t outQueueSize = 0;
    bool dtr = false;
    std::deque<uint8_t> toPort;  // bytes waiting for the port to read
    int reads = 0;               // read calls made, for tests
    int timeoutWrites = 0;       // SetCommTimeouts calls made, for tests
    LineFaults faults;
    std::vector<LineEvent> transcript;

    // The device behind the port end, as a USB adapter that is pulled out and
    // plugged in again (SetDevicePresent). While it is gone an open fails as
    // for a missing device; a port end opened before it went fails every
    // call as on a removed device until it is closed, also once the device
    // is back.
    bool present = true;
    bool portDead = false;
};

// The line under the world lock for as long as this lives; as a temporary,
// to the end of the statement: Locked(line)->faults.failWrites = 1; (not in
// a range-for's range, whose temporaries end before the loop body runs: hold
// a LockedLine there).
class LockedLine {
public:
    explicit LockedLine(Line& line) : lock_(WorldMutex()), line_(line) {}
    Line* operator->() const { return &line_; }
    Line& operator*() const { return line_; }

private:
    WorldLock lock_;
    Line& line_;
};
inline LockedLine Locked(Line& line) { return LockedLine(line); }

// Lines live until ResetLines(); a port still open on one must be closed first.
// These three take the world lock.
SIM_API Line& CreateLine(const std::string& name);
SIM_API Line* FindLine(const std::string& name);
SIM_API void ResetLines();

// The device goes (false) or comes back (true). Takes the world lock.
SIM_API void SetDevicePresent(Line& line, bool present);

// Peer side: bytes for the port to read. Call with the world lock held.
SIM_API void SendToPort(WorldLock& lock, Line& line, const uint8_t* data, size_t size);
// Re-evaluate what the port sees (carrier changed and the like).
SIM_API void LineChanged(WorldLock& lock);

// The bytes written by the port, joined, from the transcript. Takes the world lock.
SIM_API std::vector<uint8_t> BytesFromPort(const Line& line);

// The serial backend for names beginning with "SIM".
SIM_API const platform::SerialBackend* LineBackend();
constexpr const char* kLinePrefix = "SIM";

}  // namespace sim
