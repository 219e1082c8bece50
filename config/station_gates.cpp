#include "config/station_gates.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/alloc_hook.h"
#include "common/byte_order.h"
#include "driver/context.h"
#include "host/korpro.h"

namespace {

// Copies a name field into text, never reading past the field; false when the
// field holds no NUL (text then has the field's 32 characters).
bool CopyNameField(const uint8_t* field, char (&text)[kGateFileNameFieldSize + 1]) {
    std::memcpy(text, field, kGateFileNameFieldSize);
    text[kGateFileNameFieldSize] = '\0';
    return std::memchr(field, '\0', kGateFileNameFieldSize) != nullptr;
}

// The open station gate file and the name it was opened under, which every
// message names.
struct GateFile {
    FILE* file;
    const char* name;
};

bool ReadRecord(const GateFile& in, uint8_t (&record)[kGateFileRecordSize]) {
    return std::fread(record, 1, sizeof record, in.file) == sizeof record;
}

// The header record: station number, internal file name and gate count.
bool ReadHeader(const GateFile& in, uint8_t stationNumber, uint16_t* gateCount) {
    uint8_t record[kGateFileRecordSize];
    if (!ReadRecord(in, record)) {
        err(kLogError, "TELDRV> ReadStationData() error, reading first record from station data file '%s'", in.name);
        return false;
    }
    if (record[kHeaderStationOffset] != stationNumber) {
        err(kLogError, "TELDRV> ReadStationData() error, '%s' file generated for station %02u i.s.o. station %02u",
            in.name, static_cast<unsigned>(record[kHeaderStationOffset]), static_cast<unsigned>(stationNumber));
        return false;
    }
    char internalName[kGateFileNameFieldSize + 1];
    if (!CopyNameField(record + kHeaderNameOffset, internalName) || std::strcmp(internalName, in.name) != 0) {
        err(kLogError, "TELDRV> ReadStationData() error, '%s' file conflicts with internal file name '%s'", in.name,
            internalName);
        return false;
    }
    *gateCount = Le16(record + kHeaderCountOffset);
    if (*gateCount > kMaxStationGates) {
        err(kLogError, "TELDRV> ReadStationData() error, %u gates in station data file '%s', at most %u allowed",
            static_cast<unsigned>(*gateCount), in.name, static_cast<unsigned>(kMaxStationGates));
        return false;
    }
    return true;
}

// Gate record `number`: its lead byte, value type and name into `gate`.
bool ReadGateRecord(const GateFile& in, uint16_t number, StationGate* gate) {
    uint8_t record[kGateFileRecordSize];
    if (!ReadRecord(in, record)) {
        err(kLogError, "TELDRV> ReadStationData() error, reading record %u from station data file '%s'",
            static_cast<unsigned>(number), in.name);
        return false;
    }
    const uint16_t gateNumber = Le16(record + kGateNumberOffset);
    if (gateNumber != number) {
        err(kLogError,
            "TELDRV> ReadStationData() error, corrupted gate nr %u <> record nr %u in station data file '%s'",
            static_cast<unsigned>(gateNumber), static_cast<unsigned>(number), in.name);
        return false;
    }
    gate->leadByte = record[kGateLeadByteOffset];
    gate->valueType = record[kGateValueTypeOffset];
    char name[kGateFileNameFieldSize + 1];
    if (!CopyNameField(record + kGateNameOffset, name)) {
        err(kLogError,
            "TELDRV> ReadStationData() error, gate name of record %u in station data file '%s' is not ended "
            "within 32 bytes",
            static_cast<unsigned>(number), in.name);
        return false;
    }
    std::memcpy(gate->name, name, sizeof gate->name);
    return true;
}

// The host's id for the gate's name; kUnknownHostGate, with its warning, when
// the host does not know it. The all-ones id stands for an unknown gate, so a
// host answering with it has in effect not found the gate either.
uint16_t LookUpHostGateId(const GateFile& in, const StationGate& gate) {
    uint16_t hostId = kUnknownHostGate;
    const uint32_t status = Kor5GetGateId(0, gate.name, &hostId);
    if ((status & 0xFFFF) == 0 && hostId != kUnknownHostGate) return hostId;
    err(kLogError, "TELDRV> ReadStationData() warning, gate '%s' from station data file '%s' not found anymore",
        gate.name, in.name);
    return kUnknownHostGate;
}

// The gate records, in order; *highestId is the highest host id among them.
bool ReadGateRecords(const GateFile& in, StationGate* table, uint16_t gateCount, uint16_t* highestId) {
    *highestId = 0;
    for (uint16_t i = 0; i < gateCount; ++i) {
        StationGate& gate = table[i];
        if (!ReadGateRecord(in, i, &gate)) return false;
        gate.hostGateId = LookUpHostGateId(in, gate);
        if (gate.hostGateId != kUnknownHostGate && gate.hostGateId > *highestId) *highestId = gate.hostGateId;
    }
    return true;
}

// The map from host gate id to station index, for ids up to mapSize - 1.
int16_t* BuildGateIdMap(const StationGate* table, uint16_t gateCount, uint16_t mapSize) {
    const size_t mapBytes = size_t{mapSize} * sizeof(int16_t);
    auto* map = static_cast<int16_t*>(driverAlloc(mapBytes));
    if (map == nullptr) {
        err(kLogError, "TELDRV> ReadStationData() error, failed to allocate %u bytes for gate id converion table",
            static_cast<unsigned>(mapBytes));
        return nullptr;
    }
    for (uint16_t id = 0; id < mapSize; ++id) map[id] = -1;
    // Ascending order: of several gates with one host id, the last one wins.
    for (uint16_t i = 0; i < gateCount; ++i) {
        if (table[i].hostGateId != kUnknownHostGate) map[table[i].hostGateId] = static_cast<int16_t>(i);
    }
    return map;
}

}  // namespace

StationDataResult ReadStationData(StationContext* ctx, uint8_t stationNumber) {
    using enum StationDataResult;
    char fileName[16];
    std::snprintf(fileName, sizeof fileName, "%02u_GATES.DAT", static_cast<unsigned>(stationNumber));
    FILE* file = std::fopen(fileName, "rb");
    if (file == nullptr) {
        err(kLogError, "TELDRV> ReadStationData() error, station data file '%s' not found", fileName);
        return kStationDataFailed;
    }
    struct FileCloser {
        FILE* file;
        ~FileCloser() { std::fclose(file); }
    } closer{file};
    const GateFile in{file, fileName};

    uint16_t gateCount = 0;
    if (!ReadHeader(in, stationNumber, &gateCount)) return kStationDataFailed;
    // An empty table is still a table: a station without gates is loaded.
    const size_t tableBytes = size_t{gateCount} * sizeof(StationGate);
    struct TableOwner {
        StationGate* table;
        ~TableOwner() { std::free(table); }
    } owner{static_cast<StationGate*>(driverAlloc(gateCount > 0 ? tableBytes : sizeof(StationGate)))};
    if (owner.table == nullptr) {
        err(kLogError, "TELDRV> ReadStationData() error, failed to allocate %u bytes for gate conversion table",
            static_cast<unsigned>(tableBytes));
        return kStationDataFailed;
    }
    uint16_t highestId = 0;
    if (!ReadGateRecords(in, owner.table, gateCount, &highestId)) return kStationDataFailed;
    // highestId is at most 0xFFFE, so the size fits its 16-bit field.
    const auto mapSize = static_cast<uint16_t>(highestId + 1);
    int16_t* const map = BuildGateIdMap(owner.table, gateCount, mapSize);
    if (map == nullptr) return kStationDataFailed;

    ctx->stationGates = std::exchange(owner.table, nullptr);
    ctx->stationGateCount = gateCount;
    ctx->gateIdMap = map;
    ctx->gateIdMapSize = mapSize;
    return kStationDataLoaded;
}
