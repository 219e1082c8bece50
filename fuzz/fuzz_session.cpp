// The frame receiver and the request session, fed a byte stream as the modem
// line would carry it: every request code, length, retry and broken frame.
#include <cstdint>

#include "driver/context.h"
#include "fuzz/byte_line.h"
#include "link/session.h"
#include "sim/korpro_sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool installed = [] {
        platform::UseTimeBackend(&fuzz::kNoTime);
        platform::RegisterSerialBackend("FUZZ", &fuzz::kByteLine);
        return true;
    }();
    (void)installed;
    korpro_sim::Reset();
    fuzz::Line() = {data, size, 0, 0};

    StationContext ctx{};
    SetContextDefaults(&ctx);
    ctx.stationNumber = 7;
    ctx.portHandle = platform::CommOpen("FUZZ");
    DoTheCom(&ctx);
    platform::CommClose(ctx.portHandle);
    return 0;
}
