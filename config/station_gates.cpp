#include "config/station_gates.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config_alloc.h"
#include "driver/context.h"
#include "host/korpro.h"

namespace {

uint16_t ReadLe16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

// Copies a name field into text, never reading past the field; false when the
// field holds no NUL (text then has the field's 32 characters).
bool CopyNameField(const uint8_t* field, char (&text)[kGateFileNameFieldSize + 1]) {
    std::memcpy(text, field, kGateFileNameFieldSize);
    text[kGateFileNameFieldSize] = '\0';
    return std::memchr(field, '\0', kGateFileNameFieldSize) != nullptr;
}

}  // namespace

int32_t ReadStationData(StationContext* ctx, uint8_t stationNumber) {
    char fileName[16];
    std::snprintf(fileName, sizeof fileName, "%02u_GATES.DAT", static_cast<unsigned>(stationNumber));

    FILE* file = std::fopen(fileName, "rb");
    if (file == nullptr) {
        err(kLogError, "TELDRV> ReadStationData() error, station data file '%s' not found", fileName);
        return 1;
    }
    struct FileCloser {
        FILE* file;
        ~FileCloser() { std::fclose(file); }
    } closer{file};

    uint8_t record[kGateFileRecordSize];
    if (std::fread(record, 1, sizeof record, file) != sizeof record) {
        err(kLogError, "TELDRV> ReadStationData() error, reading first record from station data file '%s'", fileName);
        return 1;
    }
    if (record[kHeaderStationOffset] != stationNumber) {
        err(kLogError, "TELDRV> ReadStationData() error, '%s' file generated for station %02u i.s.o. station %02u",
            fileName, static_cast<unsigned>(record[kHeaderStationOffset]), static_cast<unsigned>(stationNumber));
        return 1;
    }
    char internalName[kGateFileNameFieldSize + 1];
    if (!CopyNameField(record + kHeaderNameOffset, internalName) || std::strcmp(internalName, fileName) != 0) {
        err(kLogError, "TELDRV> ReadStationData() error, '%s' file conflicts with internal file name '%s'", fileName,
            internalName);
        return 1;
    }

    const uint16_t gateCount = ReadLe16(record + kHeaderCountOffset);
    if (gateCount > kMaxStationGates) {
        err(kLogError, "TELDRV> ReadStationData() error, %u gates in station data file '%s', at most %u allowed",
            static_cast<unsigned>(gateCount), fileName, static_cast<unsigned>(kMaxStationGates));
        return 1;
    }

    // An empty table is still a table: a station without gates is loaded.
    const size_t tableBytes = size_t{gateCount} * sizeof(StationGate);
    struct TableOwner {
        StationGate* table;
        ~TableOwner() { std::free(table); }
    } owner{static_cast<StationGate*>(configAlloc(gateCount > 0 ? tableBytes : sizeof(StationGate)))};
    StationGate* const table = owner.table;
    if (table == nullptr) {
        err(kLogError, "TELDRV> ReadStationData() error, failed to allocate %u bytes for gate conversion table",
            static_cast<unsigned>(tableBytes));
        return 1;
    }

    uint16_t highestId = 0;
    for (uint16_t i = 0; i < gateCount; ++i) {
        if (std::fread(record, 1, sizeof record, file) != sizeof record) {
            err(kLogError, "TELDRV> ReadStationData() error, reading record %u from station data file '%s'",
                static_cast<unsigned>(i), fileName);
            return 1;
        }
        const uint16_t gateNumber = ReadLe16(record + kGateNumberOffset);
        if (gateNumber != i) {
            err(kLogError,
                "TELDRV> ReadStationData() error, corrupted gate nr %u <> record nr %u in station data file '%s'",
                static_cast<unsigned>(gateNumber), static_cast<unsigned>(i), fileName);
            return 1;
        }
        StationGate& gate = table[i];
        gate.leadByte = record[kGateLeadByteOffset];
        gate.valueType = record[kGateValueTypeOffset];
        char name[kGateFileNameFieldSize + 1];
        if (!CopyNameField(record + kGateNameOffset, name)) {
            err(kLogError,
                "TELDRV> ReadStationData() error, gate name of record %u in station data file '%s' is not ended "
                "within 32 bytes",
                static_cast<unsigned>(i), fileName);
            return 1;
        }
        std::memcpy(gate.name, name, sizeof gate.name);

        // The all-ones id stands for an unknown gate, so a host answering
        // with it has in effect not found the gate either.
        uint16_t hostId = kUnknownHostGate;
        const uint32_t status = Kor5GetGateId(0, gate.name, &hostId);
        if ((status & 0xFFFF) != 0 || hostId == kUnknownHostGate) {
            gate.hostGateId = kUnknownHostGate;
            err(kLogError, "TELDRV> ReadStationData() warning, gate '%s' from station data file '%s' not found anymore",
                gate.name, fileName);
            continue;
        }
        gate.hostGateId = hostId;
        if (hostId > highestId) highestId = hostId;
    }

    // highestId is at most 0xFFFE, so the size fits its 16-bit field.
    const uint16_t mapSize = static_cast<uint16_t>(highestId + 1);
    const size_t mapBytes = size_t{mapSize} * sizeof(int16_t);
    auto* map = static_cast<int16_t*>(configAlloc(mapBytes));
    if (map == nullptr) {
        err(kLogError, "TELDRV> ReadStationData() error, failed to allocate %u bytes for gate id converion table",
            static_cast<unsigned>(mapBytes));
        return 1;
    }
    for (uint16_t id = 0; id < mapSize; ++id) map[id] = -1;
    // Ascending order: of several gates with one host id, the last one wins.
    for (uint16_t i = 0; i < gateCount; ++i) {
        if (table[i].hostGateId != kUnknownHostGate) map[table[i].hostGateId] = static_cast<int16_t>(i);
    }

    ctx->stationGates = table;
    ctx->stationGateCount = gateCount;
    ctx->gateIdMap = map;
    ctx->gateIdMapSize = mapSize;
    owner.table = nullptr;
    return 0;
}
