// The ring buffer of gate changes between the gate message thread (the only
// writer of records and changeWrite) and the request session (the only
// writer of changeRead).
#pragma once

#include <cstdint>

#include "driver/context.h"

// A continue response carries at most this many records.
constexpr uint16_t kMaxDrainRecords = 64;

// Appends one change of a host gate, or drops it: silently when the gate is
// not a station gate, with a log line when the buffer is full.
void AddInBuffer(StationContext* ctx, uint16_t hostGateId, uint8_t statusBit, uint32_t valueLow, uint32_t valueHigh,
                 uint32_t info, uint16_t infoTail);

// Copies the oldest waiting records (at most maxRecords, never more than 64)
// to destination, 16 bytes each in order, and marks them as sent. Returns
// the number of records copied.
uint16_t GetFromBuffer(StationContext* ctx, uint8_t* destination, uint16_t maxRecords);
