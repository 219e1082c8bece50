// The link frame: STX, magic, tag, length, DLE, body, DLE, checksum, ETX.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/context.h"

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kDle = 0x10;
constexpr size_t kFrameHeaderSize = 9;
constexpr size_t kFrameFooterSize = 4;
constexpr uint16_t kMaxBodyLength = 1280;

// Results of Receive and Send: a type of their own, like the port layer's.
enum class LinkResult : uint8_t {
    kLinkDone = 0,
    kLinkFrameFailed = 1,  // this frame failed, with its log line; the link may go on
    kLinkGone = 2,         // modem status unreadable or carrier lost
};

// Sum of every byte XOR 0x55 over header bytes 4 to 8 and the body.
uint16_t FrameChecksum(const uint8_t* header, const uint8_t* body, size_t bodyLength);

LinkResult Receive(StationContext* ctx, uint8_t* body, uint16_t* bodyLength);
LinkResult Send(StationContext* ctx, const uint8_t* body, uint16_t bodyLength);
