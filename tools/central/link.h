// The central station's end of the modem link, for the teldrv-central tool:
// frames, one request and its response with the retry rule, a frame trace,
// and the modem's AT dialogue. Works on any port of the platform serial
// layer, so the same code drives a real tty and a simulated line.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/serial.h"
#include "sim/central_frame.h"
#include "tools/central/exit_code.h"

namespace central {

using sim::Bytes;

// The frame codec is the simulated central station's: one oracle for both.
using sim::CheckFrame;
using sim::EncodeFrame;
using sim::Frame;
using sim::Hex;
using sim::LinkChecksum;
constexpr size_t kMaxBody = sim::kMaxFrameBody;

struct LinkOptions {
    int attempts = 4;             // sends of one request: the first and the retries
    uint32_t timeoutMs = 5000;    // wait for the first byte of an answer
    uint32_t gapMs = 1000;        // longest pause inside an answer
    // The first request of the connection waits this long before it is sent
    // again, once, besides the attempts; 0 or not below timeoutMs: no such wait.
    uint32_t firstTimeoutMs = 0;
    bool checkCarrier = false;    // a dialled call: every request first looks at DCD
    bool trace = false;
    bool (*stopRequested)() = nullptr;  // asked before every repetition
};

// Stopped: stopRequested said so before a repetition.
enum class AskResult { Ok, NoAnswer, BadFrame, NoCarrier, Stopped };

// One connection's requests: frame tags count up with every frame sent,
// sequence bytes with every fresh continue request.
class Link {
public:
    Link(platform::PortHandle port, const LinkOptions& options, std::ostream& trace);

    // Sends `body` and waits for its answer; a missing or bad answer is
    // asked again unchanged (same sequence byte) up to options.attempts sends.
    AskResult Ask(const Bytes& body, Bytes* response);
    // The sequence byte for the next fresh continue request; never 0, which
    // a start request leaves the station expecting as a repetition.
    uint8_t NextSequence();

    int framesSent() const { return framesSent_; }
    // Sends counted by the retry rule; the first request's early resend,
    // announced on its own line, is not among them.
    int repetitions() const { return repetitions_; }
    // Sends of the last Ask.
    int sends() const { return sends_; }
    // Why the last Ask failed.
    const std::string& error() const { return error_; }
    // Bytes of the last Ask's answers that were no frame at all: what a
    // line at other settings than the station's brings.
    size_t noiseBytes() const { return noiseBytes_; }

private:
    enum class Read { Ok, Nothing, Bad };
    bool SendRequest(const Bytes& body, bool again);
    Read ReadFrame(Bytes* body, uint32_t timeoutMs);
    bool ShortFirstWait() const;
    bool AwaitStx(uint64_t deadline);
    Bytes ReadFrameRest();
    void Trace(const std::string& line);
    uint64_t ElapsedMs() const;

    platform::PortHandle port_;
    LinkOptions options_;
    std::ostream& trace_;
    uint16_t tag_ = 0;
    uint8_t sequence_ = 0;
    int framesSent_ = 0;
    int repetitions_ = 0;
    int sends_ = 0;
    std::string error_;
    size_t noiseBytes_ = 0;
    uint64_t startMs_ = 0;
};

// The AT dialogue with the local modem.
struct ModemOptions {
    std::string resetCommand = "ATZ";
    std::string dialPrefix = "ATDT";
    uint32_t carrierTimeoutMs = 60000;  // ATD to CONNECT
    uint32_t settleMs = 2500;           // after CONNECT, before the first request
    // After answering the station's alarm call: it drops its input once on
    // seeing its carrier (looked at every 100 ms); the rest is margin for the
    // two modems' CONNECTs not falling together.
    uint32_t answerSettleMs = 1500;
    bool autoAnswer = false;            // Answer: the modem answers (ATS0=1), not ATA
    uint32_t ringTimeoutMs = 300000;    // Answer: the wait for the first RING
    // The port has no carrier detect line worth reading (a pty, a
    // three-wire cable): CONNECT is taken as the carrier, and hanging up
    // always ends with "+++" and ATH.
    bool ignoreCarrier = false;
    bool (*stopRequested)() = nullptr;  // ends a wait for a modem reply early
};

class ModemDialogue {
public:
    ModemDialogue(platform::PortHandle port, const ModemOptions& options, std::ostream& log);
    // Resets the modem and dials; kExitOk once the carrier stands, else
    // kExitPort (the modem does not answer OK), kExitNoCarrier, or
    // kExitInterrupted when stopRequested ended the wait.
    int Dial(const std::string& number);
    // Resets the modem and waits for a call: RING, answered with ATA (or by
    // the modem itself, autoAnswer), CONNECT. kExitOk once the carrier
    // stands; kExitNoRing when no RING came within ringTimeoutMs, else as Dial.
    int Answer();
    // Switches the modem's own answering off again after autoAnswer.
    void AutoAnswerOff();
    // Ends the call: DTR drop, then "+++" and ATH should the carrier stay.
    void HangUp();
    bool Carrier();

private:
    // Sends a command line and reads the reply up to a final result code.
    std::string Command(const std::string& line, uint32_t timeoutMs);
    // `ring`: RING is a result too.
    std::string ReadResult(uint32_t timeoutMs, bool ring = false);
    int Reset();
    int WaitForRing(std::string* result);
    std::string TakeCall(const std::string& ring);
    int Connected(uint32_t settleMs);
    bool Stopped() const;
    bool MayHoldCall();

    platform::PortHandle port_;
    ModemOptions options_;
    std::ostream& log_;
};

}  // namespace central
