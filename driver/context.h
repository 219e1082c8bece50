// The per-instance station context and the module's own objects.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/port_handle.h"

// One pending alarm call. reference is published last (release) by the host's
// thread and read first (acquire) by the call-control thread; the fields are
// ordered reference, retriesLeft, dueTime so that five entries take 40 bytes.
struct DialEntry {
    uint8_t reference;    // dial reference 1..254; 0 = free
    uint8_t retriesLeft;  // dial attempts still allowed
    int32_t dueTime;      // next attempt, calendar seconds
};

struct StationGate;
struct GateChange;
struct OptInSettings;

constexpr size_t kPhoneNumberSlots = 255;
constexpr size_t kDialEntryCount = 5;
constexpr size_t kBodyBufferSize = 1280;

// The host allocates this block with the size GetVpiInfo reports and passes it
// on every call; the host never reads its fields. Fields are grouped by width
// so that the record fits the 1336 bytes reported on the 32-bit target.
struct StationContext {
    // single-byte flags handed between threads (accessed through atomic_ref)
    uint8_t portEnabled;
    uint8_t answerThreadRunning;
    uint8_t linkActive;
    uint8_t onlineActive;

    platform::PortHandle portHandle;  // 0 = no port
    char portName[12];
    uint16_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
    uint16_t portOptions;
    uint8_t clientId;
    uint8_t stationNumber;  // 255 = no station defined
    uint32_t comTimeout;    // frame header read time-out, 10 ms units
    uint32_t driverNumber;

    char modemResetCmd[64];
    char dialPrefix[32];
    char hangUpCmd[32];
    char autoAnswerCmd[32];
    char noAnswerCmd[32];

    uint16_t dialTimeout;    // seconds
    uint16_t dialRetries;    // attempts per alarm call
    uint16_t dialRetryTime;  // seconds between attempts
    uint16_t stationGateCount;
    uint16_t gateIdMapSize;
    uint16_t alertClass;
    uint16_t alertSeverity;
    uint16_t alertZone;
    uint16_t frameTag;
    uint16_t changeCapacity;
    uint16_t changeWrite;  // index of the record written last
    // The writer's own copy of a changeRead it has seen; it lies in what was
    // padding, on changeWrite's cache line, so most appends never touch the
    // reader's line.
    uint16_t changeReadSeen;

    char* phoneNumbers[kPhoneNumberSlots];  // by dial reference; 0 never used
    DialEntry dialEntries[kDialEntryCount];
    StationGate* stationGates;
    int16_t* gateIdMap;
    GateChange* changeBuffer;

    // 1 from the start of a gate message thread until it has removed its
    // client; EndVpi and a new on-line start wait for it.
    uint8_t onlineThreadRunning;

    // Index of the record sent last. Far from changeWrite: each index has its
    // own writer thread, and sharing a cache line would make every append and
    // drain pull the line between cores.
    uint16_t changeRead;

    // The settings of the init file's opt-in keywords (config/opt_in.h),
    // owned by the context; empty when the file gives none. In one block, as
    // the record has room for one pointer more on the 32-bit target and no
    // more.
    OptInSettings* optIn;
};

// The size GetVpiInfo reports: what the 32-bit host has always allocated, or
// the real size where the record is larger (64-bit pointers).
constexpr uint32_t kContextSize32 = 1336;
constexpr uint32_t kReportedContextSize =
    sizeof(StationContext) > kContextSize32 ? static_cast<uint32_t>(sizeof(StationContext)) : kContextSize32;

#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
static_assert(sizeof(StationContext) <= kContextSize32, "context must fit the host's 1336-byte block");
#endif
static_assert(sizeof(DialEntry) == 8);

// Module-level stop byte: set by EndVpi, cleared by ColdStart.
extern uint8_t stopFlag;

// Request and response bodies of the request session. Each thread that runs
// sessions has its own pair, so two driver instances of one loaded library
// never share them; within an instance they keep their bytes from request to
// request and from session to session.
extern thread_local constinit uint8_t requestBuffer[kBodyBufferSize];
extern thread_local constinit uint8_t responseBuffer[kBodyBufferSize];

void SetContextDefaults(StationContext* ctx);

// Single-byte flags and indices shared between threads go through these.
template <typename T>
inline T LoadShared(T& field, std::memory_order order = std::memory_order_acquire) {
    return std::atomic_ref<T>(field).load(order);
}
template <typename T>
inline void StoreShared(T& field, T value, std::memory_order order = std::memory_order_release) {
    std::atomic_ref<T>(field).store(value, order);
}
template <typename T>
inline T ExchangeShared(T& field, T value, std::memory_order order = std::memory_order_acq_rel) {
    return std::atomic_ref<T>(field).exchange(value, order);
}

inline bool StopRequested() { return LoadShared(stopFlag) != 0; }

// The port as the auto-answer thread and its sessions read it: portHandle is
// stored before that thread starts, so the start orders it for the thread and
// a relaxed read is enough.
inline platform::PortHandle Port(StationContext* ctx) {
    return LoadShared(ctx->portHandle, std::memory_order_relaxed);
}
