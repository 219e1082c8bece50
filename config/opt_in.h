// The settings an init file may add to the station's own. Each group is off,
// and the driver does exactly what it did before the group existed, unless
// its keywords are given. All groups live in one heap block that the context
// owns: the host's block has room for one pointer more and no more. The block
// is made at the first keyword that needs it and given back with the rest of
// what a start takes (driver/running.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

struct StationContext;
struct RemoteWriteName;
struct LinkCaptureRun;
namespace platform {
struct SerialTap;
}

// REMOTE_WRITE and CLOCK_MAX_STEP_SEC (config/remote_access.h).
struct RemoteAccess {
    uint32_t clockMaxStep;  // seconds, when clockLimited
    bool clockLimited;
    bool writeListed;  // false: every station gate may be written
    // Memory ran out for a protection the operator asked for: every write and
    // every clock step is refused, and later REMOTE_WRITE lines change nothing.
    bool refusing;
    uint16_t nameCount;
    uint16_t nameCapacity;
    RemoteWriteName* names;  // a heap block of its own, nameCapacity names
};

// MODEM_CHECK_MIN and PORT_REOPEN_SEC (calls/auto_answer.cpp); 0 is off.
struct Supervision {
    uint16_t modemCheckMin;  // 1..1440
    uint16_t portReopenSec;  // 5..3600
    // Set by CloseCom: a port the host closed is not the thread's to open again.
    uint8_t portClosedByHost;
};

// LINK_CAPTURE and LINK_CAPTURE_KB (serial/link_capture.h): off while the
// name is empty.
constexpr size_t kLinkCaptureNameSize = 64;
constexpr uint16_t kLinkCaptureDefaultKb = 1024;
struct LinkCapture {
    char name[kLinkCaptureNameSize];  // a bare file name in the working directory
    uint16_t kilobytes;               // 64..65535; 0 until given: kLinkCaptureDefaultKb
    // While started: the capture (a heap block of its own) and the tap that
    // OpenStationPort puts on every port it opens.
    LinkCaptureRun* run;
    const platform::SerialTap* tap;
};

// One member per group; a further group of settings slots in as a member of
// its own (with its heap blocks counted in kOptInHeapBlocks).
struct OptInSettings {
    RemoteAccess remoteAccess;
    Supervision supervision;
    LinkCapture linkCapture;
};

// The context's own block, made at the first call: nullptr when it cannot
// be allocated (the caller logs what that costs).
OptInSettings* OwnOptIn(StationContext* ctx);
// The context's own block if it has one on the heap, else nullptr.
OptInSettings* OwnedOptIn(const StationContext* ctx);
// Where no block could be had for a protection the operator asked for: the
// context takes a shared block, never written, whose remote access refuses
// everything and whose other groups are off.
void UseRefusingOptIn(StationContext* ctx);

// The heap blocks the settings hold, in the order they are freed.
constexpr size_t kOptInHeapBlocks = 3;
size_t OptInHeapBlocks(const StationContext* ctx, void* (&blocks)[kOptInHeapBlocks]);
// Gives the blocks back (a reader of the init file that started nothing).
void ReleaseOptIn(StationContext* ctx);
