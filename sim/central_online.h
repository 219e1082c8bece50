// The central station's side of on-line transfer: the two on-line requests,
// the gate change records of the answers, and a poller that keeps the
// sequence byte as a central does.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/central.h"

namespace sim {

// One gate change as the central station reads it from an answer.
struct ReceivedChange {
    uint16_t stationIndex = 0;  // 15 bits
    bool status = false;        // the status flag (bit 15)
    std::array<uint8_t, 8> value{};
    std::array<uint8_t, 6> info{};
    bool operator==(const ReceivedChange&) const = default;
};

SIM_API ReceivedChange DecodeChange(const uint8_t* record);
SIM_API Bytes EncodeChange(const ReceivedChange& change);

// Value bytes 4-7 of a write request: a 16-bit value goes in bytes 6 and 7.
using WriteValue = std::array<uint8_t, 4>;
SIM_API WriteValue WriteValue16(uint16_t bits, uint16_t ignoredLow = 0);
SIM_API WriteValue WriteValue32(uint32_t bits);
SIM_API WriteValue WriteValueFloat(float value);

SIM_API Bytes StartOnlineRequest();
SIM_API Bytes ContOnlineRequest(uint8_t sequence);
SIM_API Bytes ContOnlineWriteRequest(uint8_t sequence, uint16_t gateNumber, const WriteValue& value);

// A continue answer, decoded.
struct OnlineAnswer {
    Bytes body;
    std::optional<uint8_t> writeStatus;
    std::vector<ReceivedChange> changes;
};

// Decodes a continue answer (withWrite: the request had 8 bytes); "" or why
// the body is not a proper answer.
SIM_API std::string DecodeOnlineAnswer(const Bytes& body, bool withWrite, OnlineAnswer* answer);

// Polls like a central station: each fresh poll takes the next sequence
// byte, a repetition sends the last one again.
class SIM_API OnlinePoller {
public:
    explicit OnlinePoller(CentralStation& central) : central_(central) {}

    // The status byte of the start answer; nullopt when none or a bad one came.
    std::optional<uint8_t> Start();
    std::optional<OnlineAnswer> Poll();
    std::optional<OnlineAnswer> PollWrite(uint16_t gateNumber, const WriteValue& value);
    // The last continue request again with its sequence byte, as after a lost answer.
    std::optional<OnlineAnswer> Repeat();

    uint8_t sequence() const { return sequence_; }
    // Why the last answer was refused ("" when it was good).
    const std::string& error() const { return error_; }

private:
    std::optional<OnlineAnswer> Exchange(const Bytes& request, bool withWrite);

    CentralStation& central_;
    uint8_t sequence_ = 0;  // a start makes the station expect anything but 0
    Bytes lastRequest_;
    std::string error_;
};

}  // namespace sim
