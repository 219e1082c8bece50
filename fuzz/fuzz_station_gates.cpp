// The station gate file reader on arbitrary file contents.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/station_gates.h"
#include "driver/context.h"
#include "sim/korpro_sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool inTempDir = [] {
        char dir[] = "/tmp/teldrv-fuzz-gates-XXXXXX";
        if (!mkdtemp(dir) || chdir(dir) != 0) std::abort();
        for (uint16_t id = 0; id < 40; ++id) korpro_sim::DefineGate("G" + std::to_string(id), id * 7);
        return true;
    }();
    (void)inTempDir;
    korpro_sim::ClearLog();
    FILE* file = std::fopen("05_GATES.DAT", "wb");
    if (!file) std::abort();
    if (size) std::fwrite(data, 1, size, file);
    std::fclose(file);

    StationContext ctx{};
    SetContextDefaults(&ctx);
    if (ReadStationData(&ctx, 5) == StationDataResult::kStationDataLoaded) {
        // What loaded must be consistent: every mapped id points at a gate that has it.
        for (uint16_t id = 0; id < ctx.gateIdMapSize; ++id) {
            const int16_t index = ctx.gateIdMap[id];
            if (index >= 0 && (index >= ctx.stationGateCount || ctx.stationGates[index].hostGateId != id)) std::abort();
        }
    }
    std::free(ctx.stationGates);
    std::free(ctx.gateIdMap);
    return 0;
}
