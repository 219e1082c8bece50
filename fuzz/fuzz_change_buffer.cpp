// Gate changes as the host's messages bring them, appended to the change
// buffer and drained in between, checked against a plain model: every change
// of a station gate that found room comes out once, in order, 16 bytes as
// appended; nothing else ever comes out.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <array>
#include <deque>
#include <vector>

#include "capture/change_buffer.h"
#include "capture/gate_change.h"
#include "driver/context.h"
#include "sim/korpro_sim.h"

namespace {

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool Done() const { return at >= size; }
    uint8_t U8() { return at < size ? data[at++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return static_cast<uint32_t>(U16() | (static_cast<uint32_t>(U16()) << 16)); }
};

using Record = std::array<uint8_t, 16>;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    korpro_sim::ClearLog();
    Reader in{data, size};
    StationContext ctx{};
    SetContextDefaults(&ctx);
    // A small map and buffer, so wrap-around and overflow come quickly.
    ctx.gateIdMapSize = static_cast<uint16_t>(1 + in.U8() % 64);
    ctx.changeCapacity = static_cast<uint16_t>(1 + in.U8() % 96);
    std::vector<int16_t> map(ctx.gateIdMapSize);
    for (auto& entry : map) entry = (in.U8() & 3) == 0 ? -1 : static_cast<int16_t>(in.U16() & 0x7FFF);
    std::vector<GateChange> storage(ctx.changeCapacity);
    ctx.gateIdMap = map.data();
    ctx.changeBuffer = storage.data();

    std::deque<Record> expected;
    uint8_t drained[64 * 16];
    while (!in.Done()) {
        if (in.U8() & 1) {
            const uint16_t gate = static_cast<uint16_t>(in.U8() % (ctx.gateIdMapSize + 4));
            const uint8_t status = in.U8();
            const uint32_t low = in.U32(), high = in.U32(), info = in.U32();
            const uint16_t tail = in.U16();
            AddInBuffer(&ctx, gate, status, low, high, info, tail);
            if (gate < ctx.gateIdMapSize && map[gate] != -1 && expected.size() + 1 < ctx.changeCapacity) {
                Record r{};
                const uint16_t first = static_cast<uint16_t>(((status & 1) << 15) | (map[gate] & 0x7FFF));
                r[0] = static_cast<uint8_t>(first);
                r[1] = static_cast<uint8_t>(first >> 8);
                for (int i = 0; i < 4; ++i) {
                    r[2 + i] = static_cast<uint8_t>(low >> (8 * i));
                    r[6 + i] = static_cast<uint8_t>(high >> (8 * i));
                    r[10 + i] = static_cast<uint8_t>(info >> (8 * i));
                }
                r[14] = static_cast<uint8_t>(tail);
                r[15] = static_cast<uint8_t>(tail >> 8);
                expected.push_back(r);
            }
        } else {
            const uint16_t want = static_cast<uint16_t>(in.U8() % 80);
            const uint16_t got = GetFromBuffer(&ctx, drained, want);
            const size_t should = std::min<size_t>({want, 64, expected.size()});
            if (got != should) std::abort();
            for (uint16_t i = 0; i < got; ++i) {
                if (std::memcmp(drained + 16 * i, expected.front().data(), 16) != 0) std::abort();
                expected.pop_front();
            }
        }
        if (ctx.changeWrite >= ctx.changeCapacity || ctx.changeRead >= ctx.changeCapacity) std::abort();
    }
    return 0;
}
