// History files of the simulated host runtime. Records are kept in time
// order; Kor5VfiOpen selects a window by the filter's start and end times
// (both included) and every read delivers the next records of that window.
// Records appended while a window is open are seen by later reads.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/korpro_sim.h"

namespace korpro_sim {

using HistoryPayload = std::array<uint8_t, 16>;

// One record of the host's history files.
struct HistoryEntry {
    uint16_t gateId = 0;
    HistoryPayload payload{};  // the 16 bytes at offset 4 of the delivered record
    int32_t time = 0;          // calendar seconds, what the window selects by
};

// The filter Kor5VfiOpen received, decoded.
struct HistoryFilterSeen {
    uint32_t gates = 0;  // 65535: every gate; another value: that gate id only
    uint32_t startTime = 0;
    uint32_t endTime = 0;
    uint16_t reserved = 0;
};

// Results the simulated history files answer.
constexpr uint32_t kHistoryBadArguments = 0x0101;
constexpr uint32_t kHistoryBadHandle = 0x0106;

// Bytes the simulated host fills the parts of a delivered record with that
// the driver must not read: 2, 3 and 20 to 103.
constexpr uint8_t kHistoryFiller = 0xA5;

// The payload the simulated host writes for a gate value: time stamp (u32),
// milliseconds (u16), status (u16) and the value as a double, little-endian.
KORPRO_SIM_API HistoryPayload ValuePayload(int32_t time, uint16_t milliseconds, uint16_t status, double value);

// Adds records to the history files, each by its time stamp (after records of
// the same time).
KORPRO_SIM_API void AddHistory(const HistoryEntry& entry);
KORPRO_SIM_API void AddHistory(const std::vector<HistoryEntry>& entries);
// What a gate value change writes: a record with ValuePayload(time, 0, 0,
// value). Safe to call with the world lock held (it takes only the history
// files' own lock).
KORPRO_SIM_API void RecordGateValue(uint16_t gateId, double value, int32_t time);
// Every record, in file order.
KORPRO_SIM_API std::vector<HistoryEntry> HistoryFiles();

// Makes every later open fail with this result (0: opens succeed again).
KORPRO_SIM_API void FailHistoryOpen(uint32_t result);
// The read after `reads` more successful reads fails with `result`, once; it
// delivers nothing and does not move the read position.
KORPRO_SIM_API void FailHistoryReadAfter(int reads, uint32_t result);
// Every read delivers at most this many records (0: no limit beyond the count asked).
KORPRO_SIM_API void LimitHistoryBatch(uint32_t records);

// Handles open now, in the order they were opened.
KORPRO_SIM_API std::vector<uint32_t> OpenHistoryHandles();
// Every handle Kor5VfiClose was called with, known or not, in order.
KORPRO_SIM_API std::vector<uint32_t> HistoryCloseCalls();
KORPRO_SIM_API int HistoryOpenCalls();
KORPRO_SIM_API int HistoryReadCalls();
// The count the last read was asked for.
KORPRO_SIM_API uint32_t LastHistoryReadCount();
// The filter of the last open call, if any.
KORPRO_SIM_API std::optional<HistoryFilterSeen> LastHistoryFilter();

}  // namespace korpro_sim
