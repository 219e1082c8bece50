#include "link/frame.h"

#include "host/korpro.h"
#include "platform/error.h"
#include "platform/serial.h"
#include "platform/time.h"
#include "serial/port.h"

using enum LinkResult;

namespace {

// After a frame that failed, the pause that lets the rest of it arrive before
// the session drains the input; none after a bad checksum, whose frame has
// come whole.
constexpr uint32_t kFailedFramePauseMs = 250;
constexpr uint32_t kBadHeaderPauseMs = 150;
constexpr uint32_t kNoPause = 0;
// Body and footer follow the header at once: 500 ms.
constexpr int32_t kBodyReadTimeoutUnits = 50;

uint16_t SumXor55(uint16_t sum, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) sum = static_cast<uint16_t>(sum + (bytes[i] ^ 0x55));
    return sum;
}

enum class Routine : uint8_t { kReceive, kSend };

// The first step of Receive and Send: false, logged in the routine's name,
// when the modem status cannot be read or the carrier is gone.
bool CarrierUp(platform::PortHandle port, Routine routine) {
    uint32_t status = 0;
    if (!platform::CommModemStatus(port, &status)) {
        const unsigned error = static_cast<unsigned>(platform::LastError());
        if (routine == Routine::kReceive) {
            err(kLogError, "TELDRV> Receive() error, getting modem control signals status, err %u", error);
        } else {
            err(kLogError, "TELDRV> Send() error, getting modem control signals status, err %u", error);
        }
        return false;
    }
    if ((status & platform::kModemStatusRlsdOn) == 0) {
        if (routine == Routine::kReceive) {
            err(kLogInfo, "TELDRV> Receive() error, modem hung up already");
        } else {
            err(kLogInfo, "TELDRV> Send() error, modem hung up already");
        }
        return false;
    }
    return true;
}

// Reads one part of a frame; false when it did not come whole. *received is
// what came, for the caller's log line.
bool ReadPart(platform::PortHandle port, uint8_t* part, uint16_t count, uint32_t* received) {
    *received = 0;
    return ReadExact(port, part, count, received) == PortResult::kPortOk && *received >= count;
}

// Writes one part of a frame; false when it did not go whole. A write that
// fails outright reports no count, so *written shows 0 for it.
bool WritePart(platform::PortHandle port, const uint8_t* part, uint16_t count, uint32_t* written) {
    *written = 0;
    return WriteAll(port, part, count, written) == PortResult::kPortOk && *written >= count;
}

// The way out of Receive for a frame that failed, after its log line.
LinkResult FrameFailed(uint32_t pauseMs) {
    if (pauseMs != kNoPause) platform::Sleep(pauseMs);
    return kLinkFrameFailed;
}

bool HeaderValid(const uint8_t* header) {
    return header[0] == kStx && header[1] == 'F' && header[2] == 'E' && header[3] == 'C' && header[8] == kDle;
}

// Receive, after the carrier: the header within COM_TIMEOUT. Learns the tag
// and gives the body length.
LinkResult ReceiveHeader(StationContext* ctx, platform::PortHandle port, uint8_t* header, uint16_t* length) {
    SetReadTimeout(port, static_cast<int32_t>(ctx->comTimeout));
    uint32_t received = 0;
    if (!ReadPart(port, header, kFrameHeaderSize, &received)) {
        err(kLogInfo, "TELDRV> Receive() error, reading message header (%u/%u)", static_cast<unsigned>(received),
            static_cast<unsigned>(kFrameHeaderSize));
        return FrameFailed(kFailedFramePauseMs);
    }
    if (!HeaderValid(header)) {
        err(kLogInfo, "TELDRV> Receive() error, invalid message header");
        platform::Sleep(kBadHeaderPauseMs);
        PurgeInput(port);
        return kLinkFrameFailed;
    }
    ctx->frameTag = static_cast<uint16_t>((header[4] << 8) | header[5]);
    *length = static_cast<uint16_t>((header[6] << 8) | header[7]);
    if (*length > kMaxBodyLength) {
        err(kLogInfo, "TELDRV> Receive() error, message body too long (%u)", static_cast<unsigned>(*length));
        return FrameFailed(kFailedFramePauseMs);
    }
    return kLinkDone;
}

// Receive, after the header: body and footer within 500 ms each, and the
// checksum.
LinkResult ReceiveBodyAndFooter(platform::PortHandle port, const uint8_t* header, uint8_t* body, uint16_t length) {
    SetReadTimeout(port, kBodyReadTimeoutUnits);
    uint32_t received = 0;
    if (!ReadPart(port, body, length, &received)) {
        err(kLogInfo, "TELDRV> Receive() error, reading message body (%u/%u)", static_cast<unsigned>(received),
            static_cast<unsigned>(length));
        return FrameFailed(kFailedFramePauseMs);
    }
    const uint16_t checksum = FrameChecksum(header, body, length);
    uint8_t footer[kFrameFooterSize];
    if (!ReadPart(port, footer, kFrameFooterSize, &received)) {
        err(kLogInfo, "TELDRV> Receive() error, reading message footer (%u/%u)", static_cast<unsigned>(received),
            static_cast<unsigned>(kFrameFooterSize));
        return FrameFailed(kFailedFramePauseMs);
    }
    if (footer[0] != kDle || footer[3] != kEtx) {
        err(kLogInfo, "TELDRV> Receive() error, invalid message footer");
        return FrameFailed(kFailedFramePauseMs);
    }
    const uint8_t high = static_cast<uint8_t>(checksum >> 8);
    const uint8_t low = static_cast<uint8_t>(checksum & 0xFF);
    if (footer[1] != high || footer[2] != low) {
        err(kLogInfo, "TELDRV> Receive() error, invalid message checksum (%02x%02xh iso %02x%02xh", footer[1],
            footer[2], high, low);
        return FrameFailed(kNoPause);
    }
    return kLinkDone;
}

}  // namespace

uint16_t FrameChecksum(const uint8_t* header, const uint8_t* body, size_t bodyLength) {
    return SumXor55(SumXor55(0, header + 4, 5), body, bodyLength);
}

LinkResult Receive(StationContext* ctx, uint8_t* body, uint16_t* bodyLength) {
    const platform::PortHandle port = Port(ctx);
    if (!CarrierUp(port, Routine::kReceive)) return kLinkGone;
    uint8_t header[kFrameHeaderSize];
    uint16_t length = 0;
    if (const LinkResult result = ReceiveHeader(ctx, port, header, &length); result != kLinkDone) return result;
    if (const LinkResult result = ReceiveBodyAndFooter(port, header, body, length); result != kLinkDone) {
        return result;
    }
    *bodyLength = length;
    return kLinkDone;
}

LinkResult Send(StationContext* ctx, const uint8_t* body, uint16_t bodyLength) {
    const platform::PortHandle port = Port(ctx);
    if (!CarrierUp(port, Routine::kSend)) return kLinkGone;
    PurgeInput(port);

    const uint8_t header[kFrameHeaderSize] = {kStx,
                                              'F',
                                              'E',
                                              'R',
                                              static_cast<uint8_t>(ctx->frameTag >> 8),
                                              static_cast<uint8_t>(ctx->frameTag & 0xFF),
                                              static_cast<uint8_t>(bodyLength >> 8),
                                              static_cast<uint8_t>(bodyLength & 0xFF),
                                              kDle};
    uint32_t written = 0;
    if (!WritePart(port, header, kFrameHeaderSize, &written)) {
        err(kLogInfo, "TELDRV> Send() error, sending message header (%u/%u)", static_cast<unsigned>(written),
            static_cast<unsigned>(kFrameHeaderSize));
        return kLinkFrameFailed;
    }
    if (!WritePart(port, body, bodyLength, &written)) {
        err(kLogInfo, "TELDRV> Send() error, sending message body (%u/%u)", static_cast<unsigned>(written),
            static_cast<unsigned>(bodyLength));
        return kLinkFrameFailed;
    }
    const uint16_t checksum = FrameChecksum(header, body, bodyLength);
    const uint8_t footer[kFrameFooterSize] = {kDle, static_cast<uint8_t>(checksum >> 8),
                                              static_cast<uint8_t>(checksum & 0xFF), kEtx};
    if (!WritePart(port, footer, kFrameFooterSize, &written)) {
        err(kLogInfo, "TELDRV> Send() error, sending message footer (%u/%u)", static_cast<unsigned>(written),
            static_cast<unsigned>(kFrameFooterSize));
        return kLinkFrameFailed;
    }
    return kLinkDone;
}
