// History records as the host delivers them, converted by the history
// requests: whatever the records and the sequence bytes, every response is
// whole (2 + 18 n bytes, at most 1010), names only station gates, and the
// files are closed at the end.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "driver/context.h"
#include "link/requests.h"
#include "link/session.h"
#include "sim/korpro_history.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    korpro_sim::Reset();
    size_t at = 0;
    auto u8 = [&]() -> uint8_t { return at < size ? data[at++] : 0; };

    StationContext ctx{};
    SetContextDefaults(&ctx);
    ctx.gateIdMapSize = static_cast<uint16_t>(1 + u8() % 32);
    ctx.stationGateCount = 40;
    std::vector<int16_t> map(ctx.gateIdMapSize);
    for (auto& entry : map) entry = (u8() & 1) ? -1 : static_cast<int16_t>(u8() % 40);
    ctx.gateIdMap = map.data();

    const size_t records = u8() * 4u;
    for (size_t i = 0; i < records && at < size; ++i) {
        korpro_sim::HistoryEntry entry;
        entry.gateId = static_cast<uint16_t>(u8() % 48);
        for (auto& b : entry.payload) b = u8();
        entry.time = static_cast<int32_t>(u8());
        korpro_sim::AddHistory(entry);
    }
    if (u8() & 1) korpro_sim::FailHistoryReadAfter(u8() % 8, 0x0105);
    korpro_sim::LimitHistoryBatch(u8() % 60);

    SessionState session{};
    session.previousLength = 2;
    session.lastSequence = kNoSequence;
    const uint8_t start[5] = {FE_REQ_START_HISTORY, u8(), 0, 0, 0};
    HandleRequest(&ctx, start, 5, &session);
    while (at < size) {
        const uint8_t request[2] = {FE_REQ_CONT_HISTORY, u8()};
        HandleRequest(&ctx, request, u8() & 0x10 ? 3 : 2, &session);
        const uint16_t length = session.responseLength;
        if (length > 1010 || (length != 1 && (length - 2) % 18 != 0)) std::abort();
        if (length > 2 && responseBuffer[0] == 0x74) {
            for (uint16_t offset = 2; offset < length; offset += 18) {
                const uint16_t index = static_cast<uint16_t>(responseBuffer[offset] | (responseBuffer[offset + 1] << 8));
                if (index >= 40) std::abort();
            }
        }
    }
    if (session.historyOpen) CloseHistory(&session);
    if (!korpro_sim::OpenHistoryHandles().empty()) std::abort();
    return 0;
}
