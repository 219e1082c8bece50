#include "capture/change_buffer.h"

#include <algorithm>
#include <cstring>

#include "capture/gate_change.h"
#include "common/byte_order.h"
#include "host/korpro.h"

namespace {

// One fixed-size copy a record: a copy of variable length became `rep movsq`,
// whose start-up on lines the writer's core has just written made a drain
// between two threads a third as fast.
void CopyRecords(uint8_t* destination, const GateChange* first, uint16_t count) {
    for (uint16_t i = 0; i < count; ++i) {
        std::memcpy(destination + size_t{i} * sizeof(GateChange), first + i, sizeof(GateChange));
    }
}

}  // namespace

void AddInBuffer(StationContext* ctx, uint16_t hostGateId, uint8_t statusBit, uint32_t valueLow, uint32_t valueHigh,
                 uint32_t info, uint16_t infoTail) {
    GateChange* buffer = ctx->changeBuffer;
    const uint16_t capacity = ctx->changeCapacity;
    if (buffer == nullptr || capacity == 0) return;
    if (ctx->gateIdMap == nullptr || hostGateId >= ctx->gateIdMapSize) return;
    // Any negative entry (not just -1) is not a 15-bit station index, so it
    // can never be stored under another gate's number.
    const int16_t stationIndex = ctx->gateIdMap[hostGateId];
    if (stationIndex < 0) return;

    // changeWrite and changeReadSeen are ours alone.
    const uint16_t write = LoadShared(ctx->changeWrite, std::memory_order_relaxed);
    // The division only where the index wraps: it cost as much as the rest
    // of an append. The result is that of (write + 1) % capacity.
    const uint32_t after = uint32_t{write} + 1;
    const uint16_t next = static_cast<uint16_t>(after < capacity ? after : after % capacity);
    // The reader only moves changeRead on towards changeWrite, so the copy is
    // an earlier position of it: going on from next, the copy comes first or
    // together with the real one. Only where next meets the copy can the
    // buffer be full, so the decision is the same as on the real index. It
    // was acquired, so the reader's copy of the record we reuse is complete.
    if (next == ctx->changeReadSeen) {
        ctx->changeReadSeen = LoadShared(ctx->changeRead, std::memory_order_acquire);
        if (next == ctx->changeReadSeen) {
            err(kLogInfo, "TELDRV> AddInBuffer() error, on-line gate buffer overflow, gate change missed!");
            return;
        }
    }

    uint8_t* record = buffer[next].bytes;
    const uint16_t first = static_cast<uint16_t>(((statusBit & 1u) << 15) |
                                                 (static_cast<uint16_t>(stationIndex) & kChangeIndexMask));
    PutLe16(record, first);
    PutLe32(record + 2, valueLow);
    PutLe32(record + 6, valueHigh);
    PutLe32(record + 10, info);
    PutLe16(record + 14, infoTail);
    // Published only once the record is whole.
    StoreShared(ctx->changeWrite, next, std::memory_order_release);
}

uint16_t GetFromBuffer(StationContext* ctx, uint8_t* destination, uint16_t maxRecords) {
    const GateChange* buffer = ctx->changeBuffer;
    const uint16_t capacity = ctx->changeCapacity;
    if (buffer == nullptr || capacity == 0) return 0;
    const uint16_t limit = std::min(maxRecords, kMaxDrainRecords);

    // One snapshot of the writer's index: changes after it wait for the next drain.
    const uint16_t w = LoadShared(ctx->changeWrite, std::memory_order_acquire);
    const uint16_t r = LoadShared(ctx->changeRead, std::memory_order_acquire);
    if (w == r || limit == 0) return 0;
    // Indices are always below the capacity; anything else would read past the storage.
    if (w >= capacity || r >= capacity) return 0;

    if (r < w || uint32_t{r} + limit < capacity) {
        const uint16_t n = r < w ? std::min<uint16_t>(static_cast<uint16_t>(w - r), limit) : limit;
        CopyRecords(destination, buffer + r + 1, n);
        uint32_t read = uint32_t{r} + n;
        if (read >= capacity) read -= capacity;
        StoreShared(ctx->changeRead, static_cast<uint16_t>(read), std::memory_order_release);
        return n;
    }

    // The writer has wrapped and the tail holds fewer than limit records.
    const uint16_t k = static_cast<uint16_t>(capacity - 1 - r);
    CopyRecords(destination, buffer + r + 1, k);
    StoreShared(ctx->changeRead, static_cast<uint16_t>(capacity - 1), std::memory_order_release);
    const uint16_t m = std::min<uint16_t>(static_cast<uint16_t>(limit - k), static_cast<uint16_t>(w + 1));
    CopyRecords(destination + size_t{k} * sizeof(GateChange), buffer, m);
    StoreShared(ctx->changeRead, static_cast<uint16_t>(m - 1), std::memory_order_release);
    return static_cast<uint16_t>(k + m);
}
