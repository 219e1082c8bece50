#include "sim/central_online.h"

#include <bit>

namespace sim {
namespace {

constexpr uint8_t kStartOnline = 0x4F;
constexpr uint8_t kContOnline = 0x4D;
constexpr size_t kRecordSize = 16;

}  // namespace

ReceivedChange DecodeChange(const uint8_t* record) {
    ReceivedChange change;
    const uint16_t first = static_cast<uint16_t>(record[0] | (record[1] << 8));
    change.stationIndex = first & 0x7FFF;
    change.status = (first & 0x8000) != 0;
    std::copy(record + 2, record + 10, change.value.begin());
    std::copy(record + 10, record + 16, change.info.begin());
    return change;
}

Bytes EncodeChange(const ReceivedChange& change) {
    const uint16_t first = static_cast<uint16_t>((change.stationIndex & 0x7FFF) | (change.status ? 0x8000 : 0));
    Bytes bytes;
    bytes.reserve(16);
    bytes.push_back(static_cast<uint8_t>(first));
    bytes.push_back(static_cast<uint8_t>(first >> 8));
    bytes.insert(bytes.end(), change.value.begin(), change.value.end());
    bytes.insert(bytes.end(), change.info.begin(), change.info.end());
    return bytes;
}

WriteValue WriteValue16(uint16_t bits, uint16_t ignoredLow) {
    return {static_cast<uint8_t>(ignoredLow), static_cast<uint8_t>(ignoredLow >> 8), static_cast<uint8_t>(bits),
            static_cast<uint8_t>(bits >> 8)};
}

WriteValue WriteValue32(uint32_t bits) {
    return {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits >> 16),
            static_cast<uint8_t>(bits >> 24)};
}

WriteValue WriteValueFloat(float value) { return WriteValue32(std::bit_cast<uint32_t>(value)); }

Bytes StartOnlineRequest() { return {kStartOnline}; }

Bytes ContOnlineRequest(uint8_t sequence) { return {kContOnline, sequence}; }

Bytes ContOnlineWriteRequest(uint8_t sequence, uint16_t gateNumber, const WriteValue& value) {
    return {kContOnline, sequence, static_cast<uint8_t>(gateNumber), static_cast<uint8_t>(gateNumber >> 8),
            value[0],    value[1], value[2],                         value[3]};
}

std::string DecodeOnlineAnswer(const Bytes& body, bool withWrite, OnlineAnswer* answer) {
    const size_t head = withWrite ? 3 : 2;
    if (body.size() < head) return "answer of " + std::to_string(body.size()) + " bytes";
    if (body[0] != kContOnline + 0x20) return "answer code " + Hex({body[0]});
    if (body[1] != 0) return "answer status " + Hex({body[1]});
    if ((body.size() - head) % kRecordSize != 0) {
        return "records of " + std::to_string(body.size() - head) + " bytes";
    }
    if ((body.size() - head) / kRecordSize > 64) return "more than 64 records";
    answer->body = body;
    answer->writeStatus = withWrite ? std::optional<uint8_t>(body[2]) : std::nullopt;
    answer->changes.clear();
    for (size_t at = head; at < body.size(); at += kRecordSize) answer->changes.push_back(DecodeChange(&body[at]));
    return "";
}

std::optional<uint8_t> OnlinePoller::Start() {
    std::optional<Bytes> body = central_.Ask(StartOnlineRequest());
    sequence_ = 0;
    if (!body || body->size() != 2 || (*body)[0] != kStartOnline + 0x20) {
        error_ = body ? "start answer " + Hex(*body) : "no start answer";
        return std::nullopt;
    }
    error_.clear();
    return (*body)[1];
}

std::optional<OnlineAnswer> OnlinePoller::Exchange(const Bytes& request, bool withWrite) {
    lastRequest_ = request;
    std::optional<Bytes> body = central_.Ask(request);
    if (!body) {
        error_ = "no answer";
        return std::nullopt;
    }
    OnlineAnswer answer;
    error_ = DecodeOnlineAnswer(*body, withWrite, &answer);
    if (!error_.empty()) return std::nullopt;
    return answer;
}

std::optional<OnlineAnswer> OnlinePoller::Poll() {
    ++sequence_;
    return Exchange(ContOnlineRequest(sequence_), false);
}

std::optional<OnlineAnswer> OnlinePoller::PollWrite(uint16_t gateNumber, const WriteValue& value) {
    ++sequence_;
    return Exchange(ContOnlineWriteRequest(sequence_, gateNumber, value), true);
}

std::optional<OnlineAnswer> OnlinePoller::Repeat() { return Exchange(lastRequest_, lastRequest_.size() == 8); }

}  // namespace sim
