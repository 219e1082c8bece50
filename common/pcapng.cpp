#include "common/pcapng.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "common/byte_order.h"

namespace pcapng {
namespace {

constexpr uint32_t kSectionHeaderType = 0x0A0D0D0A;
constexpr uint32_t kInterfaceType = 1;
constexpr uint32_t kEnhancedPacketType = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptEnd = 0, kShbUserAppl = 4, kIfName = 2, kIfDescription = 3, kIfTsresol = 9,
                   kEpbFlags = 2;
constexpr uint8_t kMicroseconds = 6;

// Appended little-endian, as the capture's byte-order magic declares.
void Put16(std::vector<uint8_t>* out, uint16_t value) {
    out->resize(out->size() + 2);
    PutLe16(out->data() + out->size() - 2, value);
}

void Put32(std::vector<uint8_t>* out, uint32_t value) {
    out->resize(out->size() + 4);
    PutLe32(out->data() + out->size() - 4, value);
}

void PadTo4(std::vector<uint8_t>* out) {
    while (out->size() % 4 != 0) out->push_back(0);
}

void Option(std::vector<uint8_t>* out, uint16_t code, const void* value, size_t size) {
    Put16(out, code);
    Put16(out, static_cast<uint16_t>(size));
    const auto* bytes = static_cast<const uint8_t*>(value);
    out->insert(out->end(), bytes, bytes + size);
    PadTo4(out);
}

void TextOption(std::vector<uint8_t>* out, uint16_t code, const std::string& text) {
    Option(out, code, text.data(), text.size());
}

// Type, total length before and after the body (which `body` holds padded).
std::vector<uint8_t> Block(uint32_t type, std::vector<uint8_t> body) {
    Put16(&body, kOptEnd);
    Put16(&body, 0);
    std::vector<uint8_t> block;
    const auto total = static_cast<uint32_t>(body.size() + 12);
    Put32(&block, type);
    Put32(&block, total);
    block.insert(block.end(), body.begin(), body.end());
    Put32(&block, total);
    return block;
}

std::vector<uint8_t> Interface(uint16_t linkType, const std::string& name, const std::string& description) {
    std::vector<uint8_t> body;
    Put16(&body, linkType);
    Put16(&body, 0);
    Put32(&body, 0);  // snaplen: no limit
    TextOption(&body, kIfName, name);
    if (!description.empty()) TextOption(&body, kIfDescription, description);
    Option(&body, kIfTsresol, &kMicroseconds, 1);
    return Block(kInterfaceType, std::move(body));
}

bool Fail(File* file) {
    file->error = errno != 0 ? errno : EIO;
    if (file->stream) std::fclose(file->stream);
    file->stream = nullptr;
    return false;
}

// What the process may do with the file: its owner alone reads it, where
// the system keeps such rights (on Windows the folder's rights apply).
void RestrictToOwner(const File& file) {
    std::error_code ignored;
    std::filesystem::permissions(file.path,
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::replace, ignored);
}

bool Rotate(File* file) {
    std::fclose(file->stream);
    file->stream = nullptr;
    const std::string older = file->path + ".1";
    std::error_code failed;
    std::filesystem::rename(file->path, older, failed);
    if (failed) {
        errno = failed.value();
        return Fail(file);
    }
    return Open(file);
}

}  // namespace

std::vector<uint8_t> FileHeader(const std::string& description) {
    std::vector<uint8_t> body;
    Put32(&body, kByteOrderMagic);
    Put16(&body, 1);
    Put16(&body, 0);
    Put32(&body, 0xFFFFFFFF);  // section length unknown
    Put32(&body, 0xFFFFFFFF);
    TextOption(&body, kShbUserAppl, "teldrv");
    std::vector<uint8_t> header = Block(kSectionHeaderType, std::move(body));
    const std::vector<uint8_t> line = Interface(kLinkTypeLine, "line", description);
    const std::vector<uint8_t> events = Interface(kLinkTypeEvents, "events", "");
    header.insert(header.end(), line.begin(), line.end());
    header.insert(header.end(), events.begin(), events.end());
    return header;
}

std::vector<uint8_t> EnhancedPacket(uint32_t interfaceId, uint64_t timestampUs, const uint8_t* data, size_t size,
                                    uint32_t flags) {
    std::vector<uint8_t> body;
    body.reserve(size + 48);
    Put32(&body, interfaceId);
    Put32(&body, static_cast<uint32_t>(timestampUs >> 32));
    Put32(&body, static_cast<uint32_t>(timestampUs));
    Put32(&body, static_cast<uint32_t>(size));
    Put32(&body, static_cast<uint32_t>(size));
    body.insert(body.end(), data, data + size);
    PadTo4(&body);
    uint8_t flagBytes[4];
    for (int i = 0; i < 4; ++i) flagBytes[i] = static_cast<uint8_t>(flags >> (8 * i));
    Option(&body, kEpbFlags, flagBytes, 4);
    return Block(kEnhancedPacketType, std::move(body));
}

bool Open(File* file) {
    // A new file each time, never one that was there (a link to another
    // file among them), so that only the file made here is restricted.
    std::error_code ignored;
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(file->path, ignored))) {
        std::remove(file->path.c_str());
    }
    errno = 0;
    file->stream = std::fopen(file->path.c_str(), "wb");
    if (file->stream == nullptr) return Fail(file);
    if (file->ownerOnly) RestrictToOwner(*file);
    file->written = 0;
    return WriteBlock(file, FileHeader(file->description));
}

bool WriteBlock(File* file, const std::vector<uint8_t>& block) {
    if (file->stream == nullptr) return false;
    if (file->limitBytes != 0 && file->written > 0 && file->written + block.size() > file->limitBytes &&
        !Rotate(file)) {
        return false;
    }
    errno = 0;
    if (std::fwrite(block.data(), 1, block.size(), file->stream) != block.size() || std::fflush(file->stream) != 0) {
        return Fail(file);
    }
    file->written += block.size();
    return true;
}

void Close(File* file) {
    if (file->stream) std::fclose(file->stream);
    file->stream = nullptr;
}

}  // namespace pcapng
