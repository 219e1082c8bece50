// The gate message thread: turns the host's gate messages into gate changes
// in the change buffer while on-line transfer runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/context.h"

// What Kor5WaitMsg fills, in the host's own layout. The info and value bytes
// are carried to the central station unread, so they stay bytes here.
struct GateMessage {
    uint16_t type;
    uint16_t reserved2;
    uint16_t gateId;  // host gate id
    uint16_t reserved6;
    uint8_t info[6];   // bytes 8-13
    uint16_t reserved14;
    uint8_t value[8];  // bytes 16-23; in a status change bit 0 of byte 16 is the status
    uint32_t reserved24;
};
static_assert(sizeof(GateMessage) == 28);
static_assert(offsetof(GateMessage, gateId) == 4 && offsetof(GateMessage, info) == 8 &&
              offsetof(GateMessage, value) == 16);

// Message types the thread knows.
constexpr uint16_t kMsgStop = 0;
constexpr uint16_t kMsgValueChange = 1;
constexpr uint16_t kMsgIgnored2 = 2;
constexpr uint16_t kMsgStatusChange = 3;
constexpr uint16_t kMsgLost = 11;
constexpr uint16_t kMsgIgnored121 = 121;

// Kor5WaitMsg results.
constexpr uint16_t kWaitDelivered = 0x8000;
constexpr uint16_t kWaitNothing = 0;
constexpr uint16_t kWaitNothing4 = 4;
constexpr uint32_t kWaitTimeoutMs = 350;

constexpr uint32_t kGateThreadStack = 4096;

void OnLineGtMsgThread(StationContext* ctx);

// The entry handed to platform::StartThread with the context as argument.
void OnLineGtMsgThreadEntry(void* ctx);
