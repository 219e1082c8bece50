#include "capture/gate_thread.h"

#include "capture/change_buffer.h"
#include "common/byte_order.h"
#include "host/korpro.h"

namespace {

void ActOnMessage(StationContext* ctx, const GateMessage& message) {
    switch (message.type) {
        case kMsgStop:
            StoreShared<uint8_t>(ctx->onlineActive, 0);
            StoreShared<uint8_t>(ctx->linkActive, 0);
            break;
        case kMsgValueChange:
            AddInBuffer(ctx, message.gateId, 0, Le32(message.value), Le32(message.value + 4), Le32(message.info),
                        Le16(message.info + 4));
            break;
        case kMsgStatusChange:
            AddInBuffer(ctx, message.gateId, static_cast<uint8_t>(message.value[0] & 1), 0, 0, Le32(message.info),
                        Le16(message.info + 4));
            break;
        case kMsgLost: err(kLogError, "TELDRV> OnLineGtMsgThread() error, lost messages"); break;
        case kMsgIgnored2:
        case kMsgIgnored121: break;
        default:
            err(kLogInfo, "TELDRV> OnLineGtMsgThread() warning, received unknown message %u",
                static_cast<unsigned>(message.type));
    }
}

}  // namespace

void OnLineGtMsgThread(StationContext* ctx) {
    // The indices are reset before onlineActive is published, so a session
    // that has seen the thread begin never drains against stale indices.
    StoreShared<uint16_t>(ctx->changeRead, 0);
    StoreShared<uint16_t>(ctx->changeWrite, 0);
    ctx->changeReadSeen = 0;
    StoreShared<uint8_t>(ctx->onlineActive, 1);

    uint16_t result = 0;
    GateMessage message{};
    while (LoadShared(ctx->onlineActive) != 0 && result == 0) {
        result = static_cast<uint16_t>(
            Kor5WaitMsg(LoadShared(ctx->clientId, std::memory_order_relaxed), &message, kWaitTimeoutMs));
        if (result == kWaitDelivered) {
            ActOnMessage(ctx, message);
            result = 0;
        } else if (result == kWaitNothing || result == kWaitNothing4) {
            result = 0;
        } else {
            err(kLogInfo, "TELDRV> OnLineGtMsgThread() error, Kor5WaitMsg rc %u", static_cast<unsigned>(result));
        }
    }

    StoreShared<uint8_t>(ctx->onlineActive, 0);
    Kor5RmClient(LoadShared(ctx->clientId, std::memory_order_relaxed));
    // The thread's last touch of the context: from here on EndVpi may
    // release the change buffer and a new start may begin.
    StoreShared<uint8_t>(ctx->onlineThreadRunning, 0);
}

void OnLineGtMsgThreadEntry(void* ctx) { OnLineGtMsgThread(static_cast<StationContext*>(ctx)); }
