#include "sim/central.h"

#include <cstdio>

namespace sim {

namespace {
constexpr uint8_t kStx = 0x02, kEtx = 0x03, kDle = 0x10;
constexpr size_t kHeader = 9, kFooter = 4;

void PutLe16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}
}  // namespace

uint16_t LinkChecksum(uint16_t tag, const Bytes& body) {
    const uint8_t covered[5] = {static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag & 0xFF),
                                static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size() & 0xFF),
                                kDle};
    uint16_t sum = 0;
    for (uint8_t b : covered) sum = static_cast<uint16_t>(sum + (b ^ 0x55));
    for (uint8_t b : body) sum = static_cast<uint16_t>(sum + (b ^ 0x55));
    return sum;
}

Bytes EncodeFrame(const char* magic, uint16_t tag, const Bytes& body) {
    const uint16_t sum = LinkChecksum(tag, body);
    Bytes out;
    out.reserve(kHeader + body.size() + kFooter);
    for (uint8_t b : {kStx, static_cast<uint8_t>(magic[0]), static_cast<uint8_t>(magic[1]),
                      static_cast<uint8_t>(magic[2]), static_cast<uint8_t>(tag >> 8),
                      static_cast<uint8_t>(tag & 0xFF), static_cast<uint8_t>(body.size() >> 8),
                      static_cast<uint8_t>(body.size() & 0xFF), kDle}) {
        out.push_back(b);
    }
    out.insert(out.end(), body.begin(), body.end());
    for (uint8_t b : {kDle, static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum & 0xFF), kEtx}) out.push_back(b);
    return out;
}

std::string CheckFrame(const Bytes& bytes, const char* magic, Frame* frame) {
    if (bytes.size() < kHeader + kFooter) return "shorter than a frame";
    if (bytes[0] != kStx) return "no STX";
    if (bytes[1] != magic[0] || bytes[2] != magic[1] || bytes[3] != magic[2]) return "wrong magic";
    if (bytes[8] != kDle) return "no DLE after the header";
    const size_t length = static_cast<size_t>((bytes[6] << 8) | bytes[7]);
    if (bytes.size() != kHeader + length + kFooter) return "length field does not match the frame";
    const size_t footer = kHeader + length;
    if (bytes[footer] != kDle || bytes[footer + 3] != kEtx) return "bad footer";
    Frame decoded;
    decoded.magic.assign(bytes.begin() + 1, bytes.begin() + 4);
    decoded.tag = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    decoded.body.assign(bytes.begin() + kHeader, bytes.begin() + static_cast<std::ptrdiff_t>(footer));
    decoded.checksum = static_cast<uint16_t>((bytes[footer + 1] << 8) | bytes[footer + 2]);
    if (decoded.checksum != LinkChecksum(decoded.tag, decoded.body)) return "bad checksum";
    if (frame) *frame = std::move(decoded);
    return "";
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    char digits[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, i ? " %02X" : "%02X", bytes[i]);
        out += digits;
    }
    return out;
}

void CentralStation::Connected(WorldLock& lock, Connection& connection) {
    connection_ = &connection;
    connected_ = true;
    Notify(lock);
}

void CentralStation::FromDriver(WorldLock& lock, const uint8_t* data, size_t size) {
    input_.insert(input_.end(), data, data + size);
    Notify(lock);
}

void CentralStation::Disconnected(WorldLock& lock) {
    connected_ = false;
    connection_ = nullptr;
    Notify(lock);
}

bool CentralStation::IsConnected() {
    WorldLock lock(WorldMutex());
    return connected_;
}

bool CentralStation::WaitConnected(int64_t timeoutMs) {
    WorldLock lock(WorldMutex());
    return WaitUntil(lock, [&] { return connected_; }, NowMsLocked(lock) + timeoutMs);
}

void CentralStation::HangUpLine() {
    WorldLock lock(WorldMutex());
    if (connection_) connection_->HangUp(lock);
}

void CentralStation::SendBytes(const Bytes& bytes) {
    WorldLock lock(WorldMutex());
    if (connection_) connection_->SendToDriver(lock, bytes.data(), bytes.size());
}

void CentralStation::SendRequestTagged(uint16_t tag, const Bytes& body) {
    tag_ = tag;
    ++framesSent_;
    SendBytes(EncodeFrame("FEC", tag, body));
}

void CentralStation::SendRequest(const Bytes& body) { SendRequestTagged(static_cast<uint16_t>(tag_ + 1), body); }

std::optional<Frame> CentralStation::ReadResponse(int64_t timeoutMs, std::string* error) {
    WorldLock lock(WorldMutex());
    auto whole = [&] {
        if (input_.size() < kHeader) return false;
        const size_t length = static_cast<size_t>((input_[6] << 8) | input_[7]);
        return input_.size() >= kHeader + length + kFooter;
    };
    if (!WaitUntil(lock, whole, NowMsLocked(lock) + timeoutMs)) {
        if (error) *error = "no whole frame";
        return std::nullopt;
    }
    const size_t length = static_cast<size_t>((input_[6] << 8) | input_[7]);
    const auto end = input_.begin() + static_cast<std::ptrdiff_t>(kHeader + length + kFooter);
    Bytes bytes(input_.begin(), end);
    input_.erase(input_.begin(), end);
    Frame frame;
    const std::string why = CheckFrame(bytes, "FER", &frame);
    if (error) *error = why;
    if (!why.empty()) return std::nullopt;
    return frame;
}

Bytes CentralStation::TakeInput() {
    WorldLock lock(WorldMutex());
    Bytes bytes(input_.begin(), input_.end());
    input_.clear();
    return bytes;
}

std::optional<Bytes> CentralStation::Ask(const Bytes& body, int64_t timeoutMs) {
    SendRequest(body);
    std::optional<Frame> frame = ReadResponse(timeoutMs);
    if (!frame || frame->tag != tag_) return std::nullopt;
    return frame->body;
}

Bytes StationRequest() { return {0x53}; }
Bytes HangUpRequest() { return {0x58}; }

Bytes SyncClockRequest(const platform::SystemTime& utc) {
    Bytes body = {0x43};
    for (uint16_t field : {utc.wYear, utc.wMonth, utc.wDayOfWeek, utc.wDay, utc.wHour, utc.wMinute, utc.wSecond,
                           utc.wMilliseconds}) {
        PutLe16(body, field);
    }
    return body;
}

std::optional<Bytes> CentralStation::Station() { return Ask(StationRequest()); }
std::optional<Bytes> CentralStation::SyncClock(const platform::SystemTime& utc) { return Ask(SyncClockRequest(utc)); }
std::optional<Bytes> CentralStation::HangUp() { return Ask(HangUpRequest()); }

}  // namespace sim
