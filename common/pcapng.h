// A pcapng file of one section, little-endian, with the two interfaces of a
// teldrv capture: 0 the line's bytes, 1 its events as text (docs/capture.md).
// The blocks are built whole in memory and written with one fwrite each, so
// a file cut short by a crash holds whole packets; no fsync, so that a write
// never holds its caller for longer than the system's write of one block.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pcapng {

constexpr uint32_t kLineInterface = 0;
constexpr uint32_t kEventInterface = 1;
constexpr uint16_t kLinkTypeLine = 147;    // LINKTYPE_USER0
constexpr uint16_t kLinkTypeEvents = 148;  // LINKTYPE_USER1
// epb_flags direction bits.
constexpr uint32_t kInbound = 1;
constexpr uint32_t kOutbound = 2;

// Section header and both interface descriptions; `description` names the
// two sides of the line (if_description of interface 0).
std::vector<uint8_t> FileHeader(const std::string& description);
std::vector<uint8_t> EnhancedPacket(uint32_t interfaceId, uint64_t timestampUs, const uint8_t* data, size_t size,
                                    uint32_t flags);

// The open file, its name and, with a limit, its rotation: once a block
// would take it past `limitBytes` it becomes NAME.1 (an older one replaced)
// and a new NAME starts with the header again.
struct File {
    std::string path;
    std::string description;
    uint64_t limitBytes = 0;  // 0: no limit
    uint64_t written = 0;
    std::FILE* stream = nullptr;
    int error = 0;  // errno of the first failure; the file is closed then
    bool ownerOnly = false;
};

// Creates (truncates) the file and writes the header; false with file->error.
bool Open(File* file);
// false once the file failed (nothing more is written then).
bool WriteBlock(File* file, const std::vector<uint8_t>& block);
void Close(File* file);

}  // namespace pcapng
