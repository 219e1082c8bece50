// A small host: loads the driver library as the process-monitoring host does,
// asks for its description and calls a few operations, printing what the
// driver answered and logged.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "host/records.h"
#include "sim/korpro_sim.h"

namespace {

// The banner is code page 437; show its box-drawing characters as UTF-8.
std::string Cp437ToUtf8(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        switch (static_cast<unsigned char>(*p)) {
            case 0x08: break;  // the lead-in backspace has nothing to show
            case 0xC9: out += "\u2554"; break;
            case 0xBB: out += "\u2557"; break;
            case 0xC8: out += "\u255A"; break;
            case 0xBC: out += "\u255D"; break;
            case 0xCD: out += "\u2550"; break;
            case 0xBA: out += "\u2551"; break;
            default: out += *p;
        }
    }
    return out;
}

void PrintLog() {
    for (const auto& line : korpro_sim::Log()) std::printf("  log [%2d] %s\n", line.level, line.text.c_str());
    korpro_sim::ClearLog();
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : TELDRV_LIBRARY;
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return 1;
    }
    auto vpiMain = reinterpret_cast<VpiMainFunction>(dlsym(library, "VpiMain"));
    if (!vpiMain) {
        std::fprintf(stderr, "%s exports no VpiMain\n", path);
        return 1;
    }
    std::printf("loaded %s\n\n", path);

    VpiInfo info{};
    VpiCallBlock call{nullptr, 14, 0, 0, &info};
    int32_t result = vpiMain(&call);
    std::printf("GetVpiInfo -> %d\n", result);
    std::printf("  typeCode     %u\n  shortName    %s\n  contextSize  %u\n  classCode    %u\n", info.typeCode,
                info.shortName, info.contextSize, info.classCode);
    std::printf("  defaults     %u baud, %u data bits, stop bits code %u, parity code %u\n", info.defaultBaudRate,
                info.defaultDataBits, info.defaultStopBits, info.defaultParity);
    std::printf("  extraWord    %u\n  banner (%zu characters):\n%s\n", info.extraWord, std::strlen(info.banner),
                Cp437ToUtf8(info.banner).c_str());
    PrintLog();

    const struct {
        uint32_t code;
        const char* name;
    } calls[] = {{2, "WarmStart"}, {4, "BlockAddressParser"}, {5, "SingleRead"}, {6, "BlockRead"},
                 {10, "BlockWrite"}, {13, "ReOpenCom"}, {15, "ChangeVpiParams"}, {9, "(empty slot 9)"},
                 {17, "(code 17)"}};
    alignas(8) static unsigned char context[4096];
    for (const auto& c : calls) {
        VpiCallBlock block{context, c.code, 0, 0, nullptr};
        std::printf("\n%s (code %u) -> %d\n", c.name, c.code, vpiMain(&block));
        PrintLog();
    }
    return 0;
}
