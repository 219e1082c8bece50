// The init file reader on arbitrary file contents (and the station gate file
// a STATION line may load, made from the tail of the input).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/init_file.h"
#include "config/opt_in.h"
#include "driver/context.h"
#include "sim/korpro_sim.h"

namespace {
void WriteFile(const char* name, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(name, "wb");
    if (!file) std::abort();
    if (size) std::fwrite(data, 1, size, file);
    std::fclose(file);
}

void Release(StationContext& ctx) {
    for (char*& number : ctx.phoneNumbers) std::free(number);
    std::free(ctx.stationGates);
    std::free(ctx.gateIdMap);
    ReleaseOptIn(&ctx);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool inTempDir = [] {
        char dir[] = "/tmp/teldrv-fuzz-init-XXXXXX";
        if (!mkdtemp(dir) || chdir(dir) != 0) std::abort();
        korpro_sim::DefineGate("GATE_A", 3);
        return true;
    }();
    (void)inTempDir;
    korpro_sim::ClearLog();
    // Input: the init file, then (after a 0x00 0xFF marker) a gate file for station 1.
    size_t initSize = size;
    for (size_t i = 0; i + 1 < size; ++i) {
        if (data[i] == 0x00 && data[i + 1] == 0xFF) {
            initSize = i;
            break;
        }
    }
    WriteFile("TELDRV01.INT", data, initSize);
    const size_t gateStart = initSize + 2 <= size ? initSize + 2 : size;
    WriteFile("01_GATES.DAT", data + gateStart, size - gateStart);

    StationContext ctx{};
    SetContextDefaults(&ctx);
    VpiCallBlock call{&ctx, 1, 1, 0, nullptr};
    ReadInitFile(&call);
    Release(ctx);
    return 0;
}
