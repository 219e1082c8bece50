#include "sim/central.h"

#include <algorithm>

namespace sim {

namespace {

void PutLe16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// The length field of the frame at the front of the input.
size_t WaitingBodyLength(const std::deque<uint8_t>& input) { return static_cast<size_t>(input[6] << 8 | input[7]); }

}  // namespace

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
        if (input_.size() < kFrameHeaderSize) return false;
        return input_.size() >= kFrameHeaderSize + WaitingBodyLength(input_) + kFrameFooterSize;
    };
    if (!WaitUntil(lock, whole, NowMsLocked(lock) + timeoutMs)) {
        if (error) *error = "no whole frame";
        return std::nullopt;
    }
    const auto end = input_.begin() + static_cast<std::ptrdiff_t>(kFrameHeaderSize + WaitingBodyLength(input_) + kFrameFooterSize);
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
    const int64_t until = NowMs() + timeoutMs;
    for (;;) {
        const int64_t left = until - NowMs();
        std::optional<Frame> frame = ReadResponse(resendMs_ > 0 ? std::min(resendMs_, left) : left);
        if (frame && frame->tag == tag_) return frame->body;
        if (resendMs_ <= 0 || NowMs() >= until) return std::nullopt;
        if (!frame) SendRequestTagged(tag_, body);
    }
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
