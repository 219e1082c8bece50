#include "tools/central/link.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/time.h"
#include "serial/port.h"
#include "tools/shared/frame_text.h"
#include "tools/shared/text.h"

namespace central {

using tools::DescribeBody;
using tools::Format;

namespace {

constexpr uint8_t kStx = sim::kFrameStx;
constexpr uint8_t kDle = sim::kFrameDle;
constexpr size_t kHeaderSize = sim::kFrameHeaderSize;
constexpr size_t kFooterSize = sim::kFrameFooterSize;

// Units of 10 ms for the port layer, never 0 (which would not wait at all).
int32_t Units(uint64_t ms) { return static_cast<int32_t>(std::clamp<uint64_t>((ms + 9) / 10, 1, 0x7FFFFFFF)); }

}  // namespace

Link::Link(platform::PortHandle port, const LinkOptions& options, std::ostream& trace)
    : port_(port), options_(options), trace_(trace), startMs_(platform::MonotonicMs()) {}

uint64_t Link::ElapsedMs() const { return platform::MonotonicMs() - startMs_; }

void Link::Trace(const std::string& line) {
    if (!options_.trace) return;
    const uint64_t ms = ElapsedMs();
    trace_ << Format("[%6llu.%03llu] ", static_cast<unsigned long long>(ms / 1000),
                     static_cast<unsigned long long>(ms % 1000))
           << line << '\n';
}

uint8_t Link::NextSequence() {
    sequence_ = static_cast<uint8_t>(sequence_ + 1);
    if (sequence_ == 0) sequence_ = 1;
    return sequence_;
}

// Waits until `deadline` for the STX that starts a frame; what comes before
// it is noise. False when none came.
bool Link::AwaitStx(uint64_t deadline) {
    Bytes noise;
    uint8_t byte = 0;
    for (;;) {
        const uint64_t now = platform::MonotonicMs();
        if (now >= deadline) {
            if (!noise.empty()) Trace("<- noise " + Hex(noise));
            noiseBytes_ += noise.size();
            return false;
        }
        SetReadTimeout(port_, Units(deadline - now));
        uint32_t got = 0;
        ReadExact(port_, &byte, 1, &got);
        if (got == 0) continue;
        if (byte == kStx) break;
        noise.push_back(byte);
    }
    if (!noise.empty()) Trace("<- noise " + Hex(noise));
    return true;
}

// The frame whose STX has come: the rest of it comes without long pauses,
// or not at all.
Bytes Link::ReadFrameRest() {
    Bytes frame(kHeaderSize, 0);
    frame[0] = kStx;
    SetReadTimeout(port_, Units(options_.gapMs));
    uint32_t got = 0;
    ReadExact(port_, &frame[1], kHeaderSize - 1, &got);
    frame.resize(1 + got);
    if (frame.size() == kHeaderSize && frame[1] == 'F' && frame[2] == 'E' && frame[3] == 'R' && frame[8] == kDle) {
        const size_t length = sim::FrameBodyLength(frame.data());
        if (length <= kMaxBody) {
            frame.resize(kHeaderSize + length + kFooterSize);
            got = 0;
            ReadExact(port_, &frame[kHeaderSize], static_cast<uint32_t>(length + kFooterSize), &got);
            frame.resize(kHeaderSize + got);
        }
    }
    return frame;
}

Link::Read Link::ReadFrame(Bytes* body, uint32_t timeoutMs) {
    // One deadline for the answer, however many answers to earlier frames
    // come before it.
    const uint64_t deadline = platform::MonotonicMs() + timeoutMs;
    for (;;) {
        if (!AwaitStx(deadline)) return Read::Nothing;
        const Bytes frame = ReadFrameRest();
        Frame decoded;
        const std::string why = CheckFrame(frame, "FER", &decoded);
        if (!why.empty()) {
            Trace(Format("<- FER tag %04X  ", decoded.tag) + "bad frame: " + why + " | " + Hex(frame));
            error_ = "bad frame: " + why;
            if (why == "bad header") noiseBytes_ += frame.size();
            return Read::Bad;
        }
        if (decoded.tag == tag_) {
            Trace(Format("<- FER tag %04X  ", decoded.tag) + DescribeBody(decoded.body, false) + " | " + Hex(frame) +
                  Format(" | checksum %04X ok", decoded.checksum));
            *body = std::move(decoded.body);
            return Read::Ok;
        }
        Trace(Format("<- FER tag %04X  answer to an earlier frame, ignored | ", decoded.tag) + Hex(frame));
    }
}

// One send of the request under a new frame tag; false when a dialled call
// has lost its carrier.
bool Link::SendRequest(const Bytes& body, bool again) {
    if (options_.checkCarrier) {
        uint32_t status = 0;
        if (!platform::CommModemStatus(port_, &status) || !(status & platform::kModemStatusRlsdOn)) {
            error_ = "carrier lost";
            Trace("-- carrier lost");
            return false;
        }
    }
    // Whatever waits now is stale: the station speaks only when asked.
    ++sends_;
    PurgeInput(port_);
    tag_ = static_cast<uint16_t>(tag_ + 1);
    const Bytes frame = EncodeFrame("FEC", tag_, body);
    Trace(Format("-> FEC tag %04X  ", tag_) + DescribeBody(body, true) + (again ? " (again)" : "") + " | " +
          Hex(frame) + Format(" | checksum %04X", LinkChecksum(tag_, body)));
    ++framesSent_;
    uint32_t written = 0;
    if (WriteAll(port_, frame.data(), static_cast<uint32_t>(frame.size()), &written) != PortResult::kPortOk) {
        Trace("-- write failed");
    }
    return true;
}

namespace {

// The response code is the request's in lower case, or the rejection.
bool AnswersRequest(const Bytes& body, const Bytes& answer) {
    const uint8_t code = body.empty() ? 0 : body[0];
    return !answer.empty() && (answer[0] == code + 0x20 || answer[0] == '@');
}

}  // namespace

// The station drops what arrives while its modem connects, so the first
// request of a call may be lost without a trace: its sends wait less.
bool Link::ShortFirstWait() const {
    return framesSent_ == 0 && options_.firstTimeoutMs > 0 && options_.firstTimeoutMs < options_.timeoutMs;
}

AskResult Link::Ask(const Bytes& body, Bytes* response) {
    bool sawBad = false;
    error_.clear();
    noiseBytes_ = 0;
    sends_ = 0;
    const bool first = ShortFirstWait();
    const uint32_t waitMs = first ? options_.firstTimeoutMs : options_.timeoutMs;
    bool early = first;  // one early resend, besides the retries
    for (int attempt = 1; attempt <= std::max(1, options_.attempts); ++attempt) {
        if (sends_ > 0 && options_.stopRequested && options_.stopRequested()) {
            error_ = "stopped";
            return AskResult::Stopped;
        }
        if (attempt > 1) ++repetitions_;
        if (!SendRequest(body, sends_ > 0)) return AskResult::NoCarrier;
        Bytes answer;
        const Read read = ReadFrame(&answer, waitMs);
        if (read == Read::Ok && AnswersRequest(body, answer)) {
            *response = std::move(answer);
            return AskResult::Ok;
        }
        if (read == Read::Ok) {
            error_ = "bad frame: unexpected response code";
            Trace("-- unexpected response code");
        } else if (read == Read::Bad) {
            PurgeInput(port_);
        } else {
            Trace(Format("-- no answer within %u ms", waitMs));
            if (first && attempt < options_.attempts + (early ? 1 : 0)) {
                trace_ << Format("teldrv-central: warning: no answer to the first request within %u s, sent again\n",
                                 waitMs / 1000);
            }
        }
        if (early && read == Read::Nothing) {
            early = false;
            --attempt;
        }
        sawBad = sawBad || read != Read::Nothing;
    }
    if (!sawBad) error_ = "no answer";
    return sawBad ? AskResult::BadFrame : AskResult::NoAnswer;
}

ModemDialogue::ModemDialogue(platform::PortHandle port, const ModemOptions& options, std::ostream& log)
    : port_(port), options_(options), log_(log) {}

bool ModemDialogue::Carrier() {
    uint32_t status = 0;
    return platform::CommModemStatus(port_, &status) && (status & platform::kModemStatusRlsdOn);
}

std::string ModemDialogue::ReadResult(uint32_t timeoutMs, bool ring) {
    static const char* const kFinal[] = {"OK", "ERROR", "CONNECT", "NO CARRIER", "BUSY", "NO DIALTONE", "NO DIAL TONE",
                                         "NO ANSWER"};
    const uint64_t deadline = platform::MonotonicMs() + timeoutMs;
    std::string line;
    for (;;) {
        const uint64_t now = platform::MonotonicMs();
        if (now >= deadline || (options_.stopRequested && options_.stopRequested())) return "";
        SetReadTimeout(port_, Units(std::min<uint64_t>(deadline - now, 200)));
        char c = 0;
        uint32_t got = 0;
        ReadExact(port_, &c, 1, &got);
        if (got == 0) continue;
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        for (const char* final : kFinal) {
            if (line.rfind(final, 0) == 0) return line;
        }
        if (ring && line == "RING") return line;
        line.clear();
    }
}

std::string ModemDialogue::Command(const std::string& line, uint32_t timeoutMs) {
    PurgeInput(port_);
    const std::string text = line + "\r";
    log_ << "modem: " << line << '\n';
    WriteAll(port_, text.data(), static_cast<uint32_t>(text.size()), nullptr);
    const std::string result = ReadResult(timeoutMs);
    log_ << "modem: " << (result.empty() ? "(no reply)" : result) << '\n';
    return result;
}

// ATZ; kExitOk once the modem takes commands.
int ModemDialogue::Reset() {
    std::string result = Command(options_.resetCommand, 3000);
    if (result != "OK" && !Stopped()) {
        // A modem left on line by an earlier run takes commands only after an escape.
        platform::Sleep(1100);
        WriteAll(port_, "+++", 3, nullptr);
        platform::Sleep(1100);
        result = Command(options_.resetCommand, 3000);
    }
    if (Stopped()) return kExitInterrupted;
    if (result != "OK") {
        log_ << "teldrv-central: modem does not answer " << options_.resetCommand
             << ": check that it is switched on, on this port, and at this baud rate\n";
        return kExitPort;
    }
    return kExitOk;
}

int ModemDialogue::Dial(const std::string& number) {
    const int reset = Reset();
    if (reset != kExitOk) return reset;
    const std::string result = Command(options_.dialPrefix + number, options_.carrierTimeoutMs);
    if (Stopped()) {
        // Any character ends a dial in progress.
        WriteAll(port_, "\r", 1, nullptr);
        return kExitInterrupted;
    }
    if (result.rfind("CONNECT", 0) != 0) {
        log_ << "teldrv-central: no carrier: " << (result.empty() ? "no reply to the dial" : result) << '\n';
        return kExitNoCarrier;
    }
    // The station's driver takes up the call a moment after its modem answers.
    return Connected(options_.settleMs);
}

// The wait for the first RING (with autoAnswer the modem may report CONNECT
// at once); other result codes are shown and waited past.
int ModemDialogue::WaitForRing(std::string* result) {
    log_ << "modem: waiting up to " << options_.ringTimeoutMs / 1000 << " s for the station's call\n";
    const uint64_t deadline = platform::MonotonicMs() + options_.ringTimeoutMs;
    for (uint64_t now = platform::MonotonicMs(); now < deadline && !Stopped(); now = platform::MonotonicMs()) {
        *result = ReadResult(static_cast<uint32_t>(deadline - now), true);
        if (result->empty()) continue;
        log_ << "modem: " << *result << '\n';
        if (*result == "RING" || result->rfind("CONNECT", 0) == 0) return kExitOk;
    }
    if (Stopped()) return kExitInterrupted;
    log_ << "teldrv-central: no ring within " << options_.ringTimeoutMs / 1000
         << " s: check that the station's alarm call is due (the host wrote its dial reference to ALARM_CALL; "
            "its log says it dials), that its MODEM_NUMBER for that reference is this line's number, and that "
            "the phone line is plugged into this modem; --answer-timeout S waits longer\n";
    return kExitNoRing;
}

// CONNECT after the ring: ATA, or the modem's own answer.
std::string ModemDialogue::TakeCall(const std::string& ring) {
    if (!options_.autoAnswer) return Command("ATA", options_.carrierTimeoutMs);
    if (ring != "RING") return ring;
    const std::string connect = ReadResult(options_.carrierTimeoutMs);
    log_ << "modem: " << (connect.empty() ? "(no reply)" : connect) << '\n';
    return connect;
}

int ModemDialogue::Answer() {
    int result = Reset();
    if (result != kExitOk) return result;
    // Without autoAnswer the modem must not take the call before ATA.
    const std::string setting = options_.autoAnswer ? "ATS0=1" : "ATS0=0";
    if (Command(setting, 3000) != "OK") {
        if (Stopped()) return kExitInterrupted;
        log_ << "teldrv-central: modem refuses " << setting << ": check that it takes Hayes AT commands\n";
        return kExitPort;
    }
    std::string ring;
    result = WaitForRing(&ring);
    if (result != kExitOk) {
        if (options_.autoAnswer) AutoAnswerOff();
        return result;
    }
    const std::string connect = TakeCall(ring);
    if (Stopped()) {
        WriteAll(port_, "\r", 1, nullptr);  // ends the answering
        return kExitInterrupted;
    }
    if (connect.rfind("CONNECT", 0) != 0) {
        log_ << "teldrv-central: no carrier: " << (connect.empty() ? "no CONNECT after the ring" : connect) << '\n';
        return kExitNoCarrier;
    }
    return Connected(options_.answerSettleMs);
}

void ModemDialogue::AutoAnswerOff() { Command("ATS0=0", 3000); }

// After CONNECT: the settle time, then the carrier, unless ignored.
int ModemDialogue::Connected(uint32_t settleMs) {
    platform::Sleep(settleMs);
    if (options_.ignoreCarrier) return kExitOk;
    uint32_t status = 0;
    if (!platform::CommModemStatus(port_, &status)) {
        log_ << "teldrv-central: CONNECT, but the port has no carrier detect line; if the port or cable has none "
                "(a pseudo-terminal, a three-wire cable), run again with --ignore-carrier\n";
        return kExitNoCarrier;
    }
    if (!(status & platform::kModemStatusRlsdOn)) {
        log_ << "teldrv-central: no carrier: the line dropped after CONNECT, or the cable has no carrier detect "
                "wire (then run again with --ignore-carrier)\n";
        return kExitNoCarrier;
    }
    return kExitOk;
}

bool ModemDialogue::Stopped() const { return options_.stopRequested && options_.stopRequested(); }

bool ModemDialogue::MayHoldCall() {
    uint32_t status = 0;
    // A port that cannot tell is taken as holding the call.
    return options_.ignoreCarrier || !platform::CommModemStatus(port_, &status) ||
           (status & platform::kModemStatusRlsdOn);
}

void ModemDialogue::HangUp() {
    if (!MayHoldCall()) return;
    log_ << "modem: hanging up (DTR low)\n";
    platform::CommEscape(port_, platform::kClrDtr);
    platform::Sleep(1000);
    platform::CommEscape(port_, platform::kSetDtr);
    platform::Sleep(200);
    if (!MayHoldCall()) return;
    // A modem that ignores DTR (&D0) hangs up on command.
    platform::Sleep(1100);
    WriteAll(port_, "+++", 3, nullptr);
    platform::Sleep(1100);
    Command("ATH", 3000);
}

}  // namespace central
