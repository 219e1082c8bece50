// Station gate files for the configuration tools: the list format people
// write, the writer and a tolerant decoder. Header-only, so that the tests
// build their fixtures with exactly the writer the tool uses.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "config/station_gates.h"

namespace gatefile {

constexpr size_t kMaxNameLength = kGateFileNameFieldSize - 1;

// One gate as a list gives it and the file holds it; its place is its number.
struct GateEntry {
    std::string name;
    uint8_t valueType = 0;
    uint8_t leadByte = 0;
};

// The values a gate's value type holds: whole numbers in a range, or any
// number (single precision, and the types 7 and up, which the link does not write).
struct ValueRange {
    bool whole;
    double low, high;
};
inline ValueRange RangeOfValueType(uint8_t valueType) {
    switch (valueType) {
        case 0: case 2: case 6: return {true, 0, 65535};
        case 1: return {true, -32768, 32767};
        case 4: return {true, -2147483648.0, 2147483647.0};
        case 5: return {true, 0, 4294967295.0};
    }
    return {false, -1e30, 1e30};
}

// The one name under which the driver opens a station's file.
inline std::string StationFileName(unsigned station) {
    char name[16];
    std::snprintf(name, sizeof name, "%02u_GATES.DAT", station % 100);
    return name;
}

// "NN_GATES.DAT" gives NN.
inline bool ParseStationFileName(const std::string& name, unsigned* station) {
    if (name.size() != 12 || name.compare(2, std::string::npos, "_GATES.DAT") != 0) return false;
    if (name[0] < '0' || name[0] > '9' || name[1] < '0' || name[1] > '9') return false;
    *station = static_cast<unsigned>((name[0] - '0') * 10 + (name[1] - '0'));
    return true;
}

// Header and gate records for a station; gate k gets gate number k. Names
// longer than 31 characters and more than 65535 gates are the caller's to
// refuse; here they are cut so that no field overflows.
inline std::vector<uint8_t> BuildGateFile(uint8_t station, const std::vector<GateEntry>& gates) {
    const size_t count = gates.size() > 0xFFFF ? 0xFFFF : gates.size();
    std::vector<uint8_t> bytes((count + 1) * kGateFileRecordSize, 0);
    bytes[kHeaderStationOffset] = station;
    const std::string internalName = StationFileName(station);
    std::memcpy(&bytes[kHeaderNameOffset], internalName.data(), internalName.size());
    PutLe16(&bytes[kHeaderCountOffset], static_cast<uint16_t>(count));
    for (size_t k = 0; k < count; ++k) {
        uint8_t* record = &bytes[(k + 1) * kGateFileRecordSize];
        record[kGateLeadByteOffset] = gates[k].leadByte;
        record[kGateValueTypeOffset] = gates[k].valueType;
        std::memcpy(record + kGateNameOffset, gates[k].name.data(), std::min(gates[k].name.size(), kMaxNameLength));
        PutLe16(record + kGateNumberOffset, static_cast<uint16_t>(k));
    }
    return bytes;
}

inline bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        *error = "cannot write '" + path + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

inline bool ReadBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *error = "cannot read '" + path + "'";
        return false;
    }
    return true;
}

// A byte value written in decimal or as 0x hex.
inline bool ParseByte(const std::string& text, uint8_t* value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 3) return false;
    unsigned result = 0;
    for (char c : digits) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        result = result * (hex ? 16 : 10) + digit;
    }
    if (result > 255) return false;
    *value = static_cast<uint8_t>(result);
    return true;
}

inline std::vector<std::string> SplitFields(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> fields;
    for (std::string field; in >> field;) fields.push_back(field);
    return fields;
}

inline bool IsSkippedListLine(const std::vector<std::string>& fields) {
    return fields.empty() || fields[0][0] == '#';
}

inline std::string Where(const std::string& listName, size_t lineNumber) {
    return listName + ":" + std::to_string(lineNumber) + ": ";
}

// One line of a gate list; an empty text when it is good.
inline std::string GateListLineError(const std::vector<std::string>& fields, GateEntry* gate) {
    if (fields.size() != 3) {
        return "expected NAME VALUE_TYPE LEAD_BYTE, found " + std::to_string(fields.size()) + " field" +
               (fields.size() == 1 ? "" : "s");
    }
    gate->name = fields[0];
    if (gate->name.size() > kMaxNameLength) return "gate name '" + gate->name + "' is longer than 31 characters";
    if (!ParseByte(fields[1], &gate->valueType)) return "value type '" + fields[1] + "' is not a number from 0 to 255";
    if (!ParseByte(fields[2], &gate->leadByte)) return "lead byte '" + fields[2] + "' is not a number from 0 to 255";
    return {};
}

// The gate list: one gate a line as "NAME VALUE_TYPE LEAD_BYTE"; empty lines
// and lines whose first field begins with '#' are skipped. Every bad line is
// reported, one a line of *error, so that one run shows them all. Problems
// that do not stop the list (a name given twice) go to warnings.
inline bool ParseGateList(const std::string& text, const std::string& listName, std::vector<GateEntry>* gates,
                          std::string* error, std::vector<std::string>* warnings = nullptr) {
    std::istringstream in(text);
    std::map<std::string, size_t> firstLine;
    std::string errors;
    size_t lineNumber = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        const std::vector<std::string> fields = SplitFields(line);
        if (IsSkippedListLine(fields)) continue;
        GateEntry gate;
        const std::string bad = GateListLineError(fields, &gate);
        if (!bad.empty()) {
            errors += (errors.empty() ? "" : "\n") + Where(listName, lineNumber) + bad;
            continue;
        }
        if (gates->size() == kMaxStationGates) {
            errors += (errors.empty() ? "" : "\n") + Where(listName, lineNumber) + "more than " +
                      std::to_string(kMaxStationGates) + " gates";
            break;
        }
        const auto [previous, isNew] = firstLine.emplace(gate.name, lineNumber);
        if (!isNew && warnings != nullptr) {
            warnings->push_back(Where(listName, lineNumber) + "gate '" + gate.name + "' is listed before on line " +
                                std::to_string(previous->second));
        }
        gates->push_back(std::move(gate));
    }
    if (errors.empty()) return true;
    *error = errors;
    return false;
}

struct HostGate {
    std::string name;
    uint16_t id = 0;
};

// The host's gates: one a line as "NAME" or "NAME ID"; a gate without an id
// gets its position among the listed gates, counted from 0.
inline bool ParseHostGateList(const std::string& text, const std::string& listName, std::vector<HostGate>* gates,
                              std::string* error) {
    std::istringstream in(text);
    size_t lineNumber = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        const std::vector<std::string> fields = SplitFields(line);
        if (IsSkippedListLine(fields)) continue;
        if (fields.size() > 2) {
            *error = Where(listName, lineNumber) + "expected NAME or NAME ID, found " + std::to_string(fields.size()) +
                     " fields";
            return false;
        }
        HostGate gate{fields[0], static_cast<uint16_t>(gates->size() & 0xFFFF)};
        if (fields.size() == 2) {
            const std::string& id = fields[1];
            char* end = nullptr;
            errno = 0;
            const unsigned long value = std::strtoul(id.c_str(), &end, 10);
            if (id[0] < '0' || id[0] > '9' || *end != '\0' || errno != 0 || value >= kUnknownHostGate) {
                *error = Where(listName, lineNumber) + "gate id '" + id + "' is not a number from 0 to 65534";
                return false;
            }
            gate.id = static_cast<uint16_t>(value);
        } else if (gates->size() >= kUnknownHostGate) {
            *error = Where(listName, lineNumber) + "too many gates to number; give the ids";
            return false;
        }
        gates->push_back(std::move(gate));
    }
    return true;
}

// What a file holds, decoded without judging it: whatever the bytes are, no
// field is read past the file's end or past its own 32 bytes.
struct DecodedGate {
    uint8_t leadByte;
    uint8_t valueType;
    std::string name;  // up to the field's NUL, or all 32 characters
    bool nameEnded;    // the field holds a NUL
    uint16_t gateNumber;
};

struct DecodedFile {
    bool hasHeader = false;
    uint8_t station = 0;
    std::string internalName;
    bool internalNameEnded = false;
    uint16_t gateCount = 0;
    std::vector<DecodedGate> gates;  // the whole records among the first gateCount
    size_t extraRecords = 0;         // whole records after the counted gates
    size_t trailingBytes = 0;        // bytes after the last whole record
};

inline std::string NameField(const uint8_t* field, bool* ended) {
    const void* nul = std::memchr(field, '\0', kGateFileNameFieldSize);
    *ended = nul != nullptr;
    const size_t length = *ended ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - field) : kGateFileNameFieldSize;
    return std::string(reinterpret_cast<const char*>(field), length);
}

inline DecodedFile DecodeGateFile(const std::vector<uint8_t>& bytes) {
    DecodedFile file;
    const size_t records = bytes.size() / kGateFileRecordSize;
    file.trailingBytes = bytes.size() % kGateFileRecordSize;
    if (records == 0) return file;
    file.hasHeader = true;
    const uint8_t* header = bytes.data();
    file.station = header[kHeaderStationOffset];
    file.internalName = NameField(header + kHeaderNameOffset, &file.internalNameEnded);
    file.gateCount = Le16(header + kHeaderCountOffset);
    const size_t gateRecords = records - 1;
    const size_t decoded = std::min<size_t>(gateRecords, file.gateCount);
    for (size_t k = 0; k < decoded; ++k) {
        const uint8_t* record = header + (k + 1) * kGateFileRecordSize;
        DecodedGate gate;
        gate.leadByte = record[kGateLeadByteOffset];
        gate.valueType = record[kGateValueTypeOffset];
        gate.name = NameField(record + kGateNameOffset, &gate.nameEnded);
        gate.gateNumber = Le16(record + kGateNumberOffset);
        file.gates.push_back(std::move(gate));
    }
    file.extraRecords = gateRecords - decoded;
    return file;
}

}  // namespace gatefile
