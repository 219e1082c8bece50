#include "sim/central_history.h"

#include <cstdio>

namespace sim {

namespace {

constexpr uint8_t kStartHistory = 0x48, kContHistory = 0x54;
constexpr size_t kRecordSize = 18;

// One request, sent as the line delivers it, with its answer unless lost.
std::optional<Bytes> Exchange(CentralStation& central, const Bytes& body, const HistoryCollectOptions& options,
                              int frame) {
    if (options.loseRequest && options.loseRequest(frame)) {
        Bytes broken = EncodeFrame("FEC", static_cast<uint16_t>(central.lastTag() + 1), body);
        broken[broken.size() - 2] ^= 0x5A;
        central.SendBytes(broken);
        // The driver must stay silent; whatever it sends is a fault the caller sees.
        if (central.ReadResponse(options.timeoutMs)) return Bytes{};
        return std::nullopt;
    }
    std::optional<Bytes> answer = central.Ask(body, options.timeoutMs);
    if (answer && options.loseAnswer && options.loseAnswer(frame)) return std::nullopt;
    return answer;
}

std::string Describe(const char* what, const Bytes& body) { return std::string(what) + ": " + Hex(body); }

}  // namespace

Bytes StartHistoryRequest(uint32_t startTime) {
    return {kStartHistory, static_cast<uint8_t>(startTime), static_cast<uint8_t>(startTime >> 8),
            static_cast<uint8_t>(startTime >> 16), static_cast<uint8_t>(startTime >> 24)};
}

Bytes ContHistoryRequest(uint8_t sequence) { return {kContHistory, sequence}; }

std::string DecodeContHistory(const Bytes& body, HistoryAnswer* answer) {
    if (body.size() < 2) return "answer shorter than 2 bytes";
    if (body[0] != kContHistory + 0x20) return "answer code is not 74h";
    if ((body.size() - 2) % kRecordSize != 0) return "answer length is not 2 + 18 n";
    answer->status = body[1];
    answer->records.clear();
    for (size_t at = 2; at < body.size(); at += kRecordSize) {
        HistoryRecordOnWire record;
        record.stationIndex = static_cast<uint16_t>(body[at] | (body[at + 1] << 8));
        for (size_t i = 0; i < record.payload.size(); ++i) record.payload[i] = body[at + 2 + i];
        answer->records.push_back(record);
    }
    return "";
}

std::optional<Bytes> StartHistory(CentralStation& central, uint32_t startTime, int64_t timeoutMs) {
    return central.Ask(StartHistoryRequest(startTime), timeoutMs);
}

std::optional<Bytes> ContHistory(CentralStation& central, uint8_t sequence, int64_t timeoutMs) {
    return central.Ask(ContHistoryRequest(sequence), timeoutMs);
}

HistoryCollection CollectHistory(CentralStation& central, uint32_t startTime, const HistoryCollectOptions& options) {
    HistoryCollection out;
    std::optional<Bytes> opened;
    for (int attempt = 0; attempt < options.attempts && !opened; ++attempt) {
        opened = Exchange(central, StartHistoryRequest(startTime), options, out.framesSent++);
    }
    if (!opened) {
        out.error = "no answer to the start request";
        return out;
    }
    if (opened->size() != 2 || (*opened)[0] != kStartHistory + 0x20) {
        out.error = Describe("bad start answer", *opened);
        return out;
    }
    out.openStatus = (*opened)[1];
    if (out.openStatus != 0) {
        out.error = "history files not opened";
        return out;
    }

    uint8_t sequence = options.firstSequence;
    for (;;) {
        std::optional<Bytes> answer;
        for (int attempt = 0; attempt < options.attempts && !answer; ++attempt) {
            if (attempt > 0) ++out.repetitions;
            answer = Exchange(central, ContHistoryRequest(sequence), options, out.framesSent++);
        }
        if (!answer) {
            out.error = "no answer to a continue request";
            return out;
        }
        HistoryAnswer decoded;
        const std::string why = DecodeContHistory(*answer, &decoded);
        if (!why.empty()) {
            out.error = why + " (" + Hex(*answer) + ")";
            return out;
        }
        ++out.answers;
        out.lastStatus = decoded.status;
        if (decoded.status != 0) {
            out.error = "continue answered status " + std::to_string(decoded.status);
            return out;
        }
        if (decoded.records.empty()) {
            out.complete = true;
            return out;
        }
        out.records.insert(out.records.end(), decoded.records.begin(), decoded.records.end());
        sequence = static_cast<uint8_t>(sequence + 1);
    }
}

}  // namespace sim
