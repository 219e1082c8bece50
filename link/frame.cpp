#include "link/frame.h"

#include "host/korpro.h"
#include "platform/error.h"
#include "platform/serial.h"
#include "platform/time.h"
#include "serial/port.h"

namespace {

uint16_t SumXor55(uint16_t sum, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) sum = static_cast<uint16_t>(sum + (bytes[i] ^ 0x55));
    return sum;
}

// Reads the modem status; false when it cannot be read.
bool CarrierStatus(platform::PortHandle port, bool* carrier) {
    uint32_t status = 0;
    if (!platform::CommModemStatus(port, &status)) return false;
    *carrier = (status & platform::kModemStatusRlsdOn) != 0;
    return true;
}

}  // namespace

uint16_t FrameChecksum(const uint8_t* header, const uint8_t* body, size_t bodyLength) {
    return SumXor55(SumXor55(0, header + 4, 5), body, bodyLength);
}

int Receive(StationContext* ctx, uint8_t* body, uint16_t* bodyLength) {
    const platform::PortHandle port = LoadShared(ctx->portHandle, std::memory_order_relaxed);
    bool carrier = false;
    if (!CarrierStatus(port, &carrier)) {
        err(kLogError, "TELDRV> Receive() error, getting modem control signals status, err %u",
            static_cast<unsigned>(platform::LastError()));
        return kLinkGone;
    }
    if (!carrier) {
        err(kLogInfo, "TELDRV> Receive() error, modem hung up already");
        return kLinkGone;
    }

    SetReadTimeout(port, static_cast<int32_t>(ctx->comTimeout));
    uint8_t header[kFrameHeaderSize];
    uint32_t received = 0;
    if (ReadExact(port, header, kFrameHeaderSize, &received) != 0 || received < kFrameHeaderSize) {
        err(kLogInfo, "TELDRV> Receive() error, reading message header (%u/%u)", static_cast<unsigned>(received),
            static_cast<unsigned>(kFrameHeaderSize));
        platform::Sleep(250);
        return kLinkFrameFailed;
    }
    if (header[0] != kStx || header[1] != 'F' || header[2] != 'E' || header[3] != 'C' || header[8] != kDle) {
        err(kLogInfo, "TELDRV> Receive() error, invalid message header");
        platform::Sleep(150);
        PurgeInput(port);
        return kLinkFrameFailed;
    }
    ctx->frameTag = static_cast<uint16_t>((header[4] << 8) | header[5]);

    const uint16_t length = static_cast<uint16_t>((header[6] << 8) | header[7]);
    if (length > kMaxBodyLength) {
        err(kLogInfo, "TELDRV> Receive() error, message body too long (%u)", static_cast<unsigned>(length));
        platform::Sleep(250);
        return kLinkFrameFailed;
    }

    SetReadTimeout(port, 50);
    received = 0;
    if (ReadExact(port, body, length, &received) != 0 || received < length) {
        err(kLogInfo, "TELDRV> Receive() error, reading message body (%u/%u)", static_cast<unsigned>(received),
            static_cast<unsigned>(length));
        platform::Sleep(250);
        return kLinkFrameFailed;
    }
    const uint16_t checksum = FrameChecksum(header, body, length);

    uint8_t footer[kFrameFooterSize];
    received = 0;
    if (ReadExact(port, footer, kFrameFooterSize, &received) != 0 || received < kFrameFooterSize) {
        err(kLogInfo, "TELDRV> Receive() error, reading message footer (%u/%u)", static_cast<unsigned>(received),
            static_cast<unsigned>(kFrameFooterSize));
        platform::Sleep(250);
        return kLinkFrameFailed;
    }
    if (footer[0] != kDle || footer[3] != kEtx) {
        err(kLogInfo, "TELDRV> Receive() error, invalid message footer");
        platform::Sleep(250);
        return kLinkFrameFailed;
    }
    const uint8_t high = static_cast<uint8_t>(checksum >> 8);
    const uint8_t low = static_cast<uint8_t>(checksum & 0xFF);
    if (footer[1] != high || footer[2] != low) {
        err(kLogInfo, "TELDRV> Receive() error, invalid message checksum (%02x%02xh iso %02x%02xh", footer[1],
            footer[2], high, low);
        return kLinkFrameFailed;
    }
    *bodyLength = length;
    return kLinkDone;
}

int Send(StationContext* ctx, const uint8_t* body, uint16_t bodyLength) {
    const platform::PortHandle port = LoadShared(ctx->portHandle, std::memory_order_relaxed);
    bool carrier = false;
    if (!CarrierStatus(port, &carrier)) {
        err(kLogError, "TELDRV> Send() error, getting modem control signals status, err %u",
            static_cast<unsigned>(platform::LastError()));
        return kLinkGone;
    }
    if (!carrier) {
        err(kLogInfo, "TELDRV> Send() error, modem hung up already");
        return kLinkGone;
    }
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
    // A write that fails outright reports no count: show 0 for it.
    uint32_t written = 0;
    if (WriteAll(port, header, kFrameHeaderSize, &written) != 0 || written < kFrameHeaderSize) {
        err(kLogInfo, "TELDRV> Send() error, sending message header (%u/%u)", static_cast<unsigned>(written),
            static_cast<unsigned>(kFrameHeaderSize));
        return kLinkFrameFailed;
    }
    written = 0;
    if (WriteAll(port, body, bodyLength, &written) != 0 || written < bodyLength) {
        err(kLogInfo, "TELDRV> Send() error, sending message body (%u/%u)", static_cast<unsigned>(written),
            static_cast<unsigned>(bodyLength));
        return kLinkFrameFailed;
    }
    const uint16_t checksum = FrameChecksum(header, body, bodyLength);
    const uint8_t footer[kFrameFooterSize] = {kDle, static_cast<uint8_t>(checksum >> 8),
                                              static_cast<uint8_t>(checksum & 0xFF), kEtx};
    written = 0;
    if (WriteAll(port, footer, kFrameFooterSize, &written) != 0 || written < kFrameFooterSize) {
        err(kLogInfo, "TELDRV> Send() error, sending message footer (%u/%u)", static_cast<unsigned>(written),
            static_cast<unsigned>(kFrameFooterSize));
        return kLinkFrameFailed;
    }
    return kLinkDone;
}
