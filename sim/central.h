// The simulated central station: the asking side of the link. It frames
// requests as "FEC" frames, checks the driver's "FER" frames byte by byte,
// and offers one helper per request. Its calls block on the world's clock,
// so they run on a clock participant (a test's main thread).
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "platform/time.h"
#include "sim/central_frame.h"
#include "sim/party.h"

namespace sim {

class SIM_API CentralStation : public Party {
public:
    // Party
    void Connected(WorldLock& lock, Connection& connection) override;
    void FromDriver(WorldLock& lock, const uint8_t* data, size_t size) override;
    void Disconnected(WorldLock& lock) override;

    bool IsConnected();
    // Waits up to timeoutMs for the connection to stand.
    bool WaitConnected(int64_t timeoutMs);
    // Ends the call from this side.
    void HangUpLine();

    // Raw bytes to the driver, in one piece.
    void SendBytes(const Bytes& bytes);
    // A request frame with the next tag (or the given one).
    void SendRequest(const Bytes& body);
    void SendRequestTagged(uint16_t tag, const Bytes& body);

    // Waits up to timeoutMs for one whole "FER" frame from the driver and
    // takes it from the input; nullopt when none came whole. *error says why
    // the bytes were not a good frame.
    std::optional<Frame> ReadResponse(int64_t timeoutMs, std::string* error = nullptr);
    // Everything the driver sent and nobody took yet.
    Bytes TakeInput();

    // One request, one response (nullopt: none within timeoutMs).
    std::optional<Bytes> Ask(const Bytes& body, int64_t timeoutMs = 15000);
    // From now on Ask sends its request again, tag and all, whenever no
    // answer came within ms (0: never), as a real central does: the station
    // drops what arrives while it takes the call. A late answer to a request
    // sent twice is skipped.
    void ResendAfter(int64_t ms) { resendMs_ = ms; }

    std::optional<Bytes> Station();
    std::optional<Bytes> SyncClock(const platform::SystemTime& utc);
    std::optional<Bytes> HangUp();

    uint16_t lastTag() const { return tag_; }
    int framesSent() const { return framesSent_; }

private:
    Connection* connection_ = nullptr;
    bool connected_ = false;
    std::deque<uint8_t> input_;
    uint16_t tag_ = 0x1000;
    int framesSent_ = 0;
    int64_t resendMs_ = 0;
};

// Request bodies.
SIM_API Bytes StationRequest();
SIM_API Bytes SyncClockRequest(const platform::SystemTime& utc);
SIM_API Bytes HangUpRequest();

}  // namespace sim
