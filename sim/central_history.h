// The central station's side of history transfer: the two requests, the
// decoding of their answers, and the collection of a whole window over a
// line that may lose frames.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/central.h"

namespace sim {

// One 18-byte record of a continue-history answer.
struct HistoryRecordOnWire {
    uint16_t stationIndex = 0;
    std::array<uint8_t, 16> payload{};
    bool operator==(const HistoryRecordOnWire&) const = default;
};

struct HistoryAnswer {
    uint8_t status = 0;
    std::vector<HistoryRecordOnWire> records;
};

SIM_API Bytes StartHistoryRequest(uint32_t startTime);
SIM_API Bytes ContHistoryRequest(uint8_t sequence);

// Decodes a continue-history answer body; "" when it is well formed, else
// why not (and *answer is left as far as it got).
SIM_API std::string DecodeContHistory(const Bytes& body, HistoryAnswer* answer);

SIM_API std::optional<Bytes> StartHistory(CentralStation& central, uint32_t startTime, int64_t timeoutMs = 15000);
SIM_API std::optional<Bytes> ContHistory(CentralStation& central, uint8_t sequence, int64_t timeoutMs = 15000);

struct HistoryCollectOptions {
    int attempts = 5;             // sends of one request before giving up
    int64_t timeoutMs = 15000;    // wait for each answer
    uint8_t firstSequence = 1;
    // Line faults by the number of the frame about to be sent (0 = the start
    // request): a lost request goes out with a broken checksum, which the
    // driver must drop unanswered; a lost answer is read and thrown away.
    std::function<bool(int frame)> loseRequest;
    std::function<bool(int frame)> loseAnswer;
};

struct HistoryCollection {
    bool complete = false;  // ended by an answer of status 0 without records
    std::string error;      // why it is not complete
    uint8_t openStatus = 0;
    uint8_t lastStatus = 0;
    std::vector<HistoryRecordOnWire> records;  // in the order they came
    int answers = 0;          // continue answers taken
    int repetitions = 0;      // requests sent again with the same sequence byte
    int framesSent = 0;
};

// Opens the window from startTime and collects it to its end, sending a
// request again (same sequence byte) whenever its answer does not come.
SIM_API HistoryCollection CollectHistory(CentralStation& central, uint32_t startTime,
                                         const HistoryCollectOptions& options = {});

}  // namespace sim
