// The station gate file and the two gate conversion tables built from it.
#pragma once

#include <cstddef>
#include <cstdint>

struct StationContext;

// One gate of the station, at the index that names it on the modem link.
struct StationGate {
    uint16_t hostGateId;  // kUnknownHostGate when the host does not know the name
    char name[32];        // NUL-terminated
    uint8_t leadByte;     // kept as the file gives it
    uint8_t valueType;    // how the central station gives a value to write
};
static_assert(sizeof(StationGate) == 36, "the allocation message counts 36 bytes per gate");

constexpr uint16_t kUnknownHostGate = 0xFFFF;

// The file "%02u_GATES.DAT": a header record, then one record per gate, all of
// 68 bytes with little-endian integers.
constexpr size_t kGateFileRecordSize = 68;
constexpr size_t kGateFileNameFieldSize = 32;
constexpr size_t kHeaderStationOffset = 0;
constexpr size_t kHeaderNameOffset = 2;
constexpr size_t kHeaderCountOffset = 34;
constexpr size_t kGateLeadByteOffset = 0;
constexpr size_t kGateValueTypeOffset = 1;
constexpr size_t kGateNameOffset = 2;
constexpr size_t kGateNumberOffset = 34;

// A gate change names its gate with a 15-bit station index.
constexpr uint32_t kMaxStationGates = 32768;

// What ReadStationData returns: a type of its own, like the port layer's.
enum class StationDataResult : uint8_t {
    kStationDataLoaded = 0,
    kStationDataFailed = 1,  // any failure, with its log line
};

// Loads "%02u_GATES.DAT" for the station and, on success, stores the
// StationGate table and the GateIdMap in the context (both from driverAlloc,
// released with std::free). A failure leaves the context's table fields
// untouched.
StationDataResult ReadStationData(StationContext* ctx, uint8_t stationNumber);
