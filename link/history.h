// Record layouts of history transfer. All are byte-exact and little-endian;
// they are read and written byte by byte, never through struct layout.
#pragma once

#include <cstddef>
#include <cstdint>

// HistoryFilter, as Kor5VfiOpen receives it.
constexpr size_t kHistoryFilterSize = 14;
constexpr size_t kFilterGatesOffset = 0;
constexpr size_t kFilterStartOffset = 4;
constexpr size_t kFilterEndOffset = 8;
constexpr size_t kFilterReservedOffset = 12;
constexpr uint32_t kFilterAllGates = 65535;
// A host that copies the record as a padded C structure reads 16 bytes; the
// two beyond the record are passed as zeros.
constexpr size_t kHistoryFilterStorage = 16;
// The window ends this long after the start request.
constexpr uint32_t kHistoryWindowAhead = 1800;

// HostHistoryRecord, as Kor5VfiRead delivers it. Only the gate id and the 16
// bytes at 4 are read.
constexpr size_t kHostHistoryRecordSize = 104;
constexpr size_t kHostGateIdOffset = 0;
constexpr size_t kHostPayloadOffset = 4;
constexpr size_t kHistoryPayloadSize = 16;

// HistoryRecord on the link: the station gate index, then the host record's
// 16 bytes unchanged.
constexpr size_t kHistoryRecordSize = 18;
constexpr size_t kHistoryIndexOffset = 0;
constexpr size_t kHistoryPayloadOffset = 2;

// Host records per read, and the buffer that holds one read.
constexpr uint32_t kHistoryBatch = 56;
constexpr size_t kHistoryBufferSize = kHistoryBatch * kHostHistoryRecordSize;
static_assert(kHistoryBufferSize == 5824);

// Status byte of a continue request without open history files, and of a
// start request whose record buffer could not be allocated.
constexpr uint8_t kHistoryClosedStatus = 255;

// The filter for a window from startTime to now + 1800 s.
void FillHistoryFilter(uint8_t filter[kHistoryFilterSize], uint32_t startTime, uint32_t now);
