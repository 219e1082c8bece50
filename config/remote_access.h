// What the init file lets a caller change: the station gates it may write
// (REMOTE_WRITE) and how far it may move the clock (CLOCK_MAX_STEP_SEC).
// Without either keyword a caller may write every station gate and set any
// clock. The settings are a group of the opt-in block (config/opt_in.h).
#pragma once

#include <cstdint>

#include "config/opt_in.h"

struct StationContext;
struct StationGate;

struct RemoteWriteName {
    char name[32];  // as the init file gives it, upper case
    uint16_t line;  // where it was given
};

// REMOTE_WRITE with the text after its "="; CLOCK_MAX_STEP_SEC with its
// value. Both log what they refuse.
void ApplyRemoteWrite(StationContext* ctx, const char* list, unsigned line, const char* file);
void ApplyClockMaxStep(StationContext* ctx, uint32_t seconds, unsigned line, const char* file);

// After the whole file: reports the REMOTE_WRITE names that name no station
// gate (STATION may come before or after them).
void ReportUnknownRemoteWriteNames(const StationContext* ctx, const char* file);

bool RemoteWriteAllowed(const StationContext* ctx, const StationGate& gate);

// Whether a clock step of this many seconds (either way) may be taken.
bool ClockStepAllowed(const StationContext* ctx, int64_t step);
