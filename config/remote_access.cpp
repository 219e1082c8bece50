#include "config/remote_access.h"

#include <cstdlib>
#include <cstring>

#include "common/alloc_hook.h"
#include "config/station_gates.h"
#include "driver/context.h"
#include "host/korpro.h"

namespace {

constexpr uint32_t kFirstNameCapacity = 8;
constexpr size_t kNameSize = sizeof(RemoteWriteName::name);

// Where a block could not be had: a protection the operator asked for must
// not fall back to "everything allowed", so every write and every clock
// step is refused instead. Never written, never freed.
RemoteAccess refuseAll{0, true, true, 0, 0};

RemoteWriteName* Names(RemoteAccess* access) { return reinterpret_cast<RemoteWriteName*>(access + 1); }
const RemoteWriteName* Names(const RemoteAccess* access) {
    return reinterpret_cast<const RemoteWriteName*>(access + 1);
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameName(const char* a, const char* b) {
    for (size_t i = 0; i < kNameSize; ++i) {
        if (Upper(a[i]) != Upper(b[i])) return false;
        if (a[i] == '\0') return true;
    }
    return true;
}

void ReportNotAGate(const char* name, size_t length, unsigned line, const char* file) {
    err(kLogError, "TELDRV> ReadInitFile() WARNING: REMOTE_WRITE gate '%.*s' is not a station gate, line %u in '%s'",
        static_cast<int>(length), name, line, file);
}

// The context's block with room for at least `names` names, grown through
// driverAlloc; nullptr (with the block replaced by refuseAll) when that fails.
RemoteAccess* BlockWithRoom(StationContext* ctx, uint16_t names, const char* keyword, unsigned line,
                            const char* file) {
    RemoteAccess* old = ctx->remoteAccess;
    if (old == &refuseAll) return nullptr;
    if (old != nullptr && old->nameCapacity >= names) return old;
    uint32_t capacity = old != nullptr ? old->nameCapacity : 0;
    while (capacity < names) capacity = capacity < kFirstNameCapacity ? kFirstNameCapacity : capacity * 2;
    auto* block = static_cast<RemoteAccess*>(driverAlloc(sizeof(RemoteAccess) + capacity * sizeof(RemoteWriteName)));
    if (block == nullptr) {
        err(kLogError,
            "TELDRV> ReadInitFile() error, alloc mem for %s, line %u in '%s', all remote writes and clock settings "
            "refused",
            keyword, line, file);
        std::free(old);
        ctx->remoteAccess = &refuseAll;
        return nullptr;
    }
    if (old != nullptr) {
        std::memcpy(block, old, sizeof(RemoteAccess) + old->nameCount * sizeof(RemoteWriteName));
        std::free(old);
    } else {
        *block = RemoteAccess{0, false, false, 0, 0};
    }
    block->nameCapacity = static_cast<uint16_t>(capacity);
    ctx->remoteAccess = block;
    return block;
}

// The next name of a REMOTE_WRITE list: names are parted by commas or white
// space, and a ";" ends the list. False at its end.
bool NextName(const char*& in, const char** start, size_t* length) {
    while (*in == ',' || *in == ' ' || *in == '\t' || *in == '\n' || *in == '\r') ++in;
    if (*in == '\0' || *in == ';') return false;
    *start = in;
    while (*in != '\0' && *in != ',' && *in != ';' && *in != ' ' && *in != '\t' && *in != '\n' && *in != '\r') ++in;
    *length = static_cast<size_t>(in - *start);
    return true;
}

// ALL or NONE standing alone: a fresh start of the list.
bool ApplyListWord(StationContext* ctx, const char* list, unsigned line, const char* file) {
    const char* in = list;
    const char* start = nullptr;
    size_t length = 0;
    if (!NextName(in, &start, &length)) return false;
    const char* after = in;
    const char* ignored = nullptr;
    size_t more = 0;
    if (NextName(after, &ignored, &more)) return false;
    const bool all = length == 3 && std::strncmp(start, "ALL", 3) == 0;
    const bool none = length == 4 && std::strncmp(start, "NONE", 4) == 0;
    if (!all && !none) return false;
    if (all && ctx->remoteAccess == nullptr) return true;  // what a file without the keyword gives
    RemoteAccess* access = BlockWithRoom(ctx, 0, "REMOTE_WRITE", line, file);
    if (access == nullptr) return true;
    access->writeListed = none;
    access->nameCount = 0;
    return true;
}

}  // namespace

void ApplyRemoteWrite(StationContext* ctx, const char* list, unsigned line, const char* file) {
    if (ApplyListWord(ctx, list, line, file)) return;
    const char* in = list;
    const char* start = nullptr;
    size_t length = 0;
    bool any = false;
    while (NextName(in, &start, &length)) {
        any = true;
        if (length >= kNameSize) {
            ReportNotAGate(start, length, line, file);
            continue;
        }
        RemoteAccess* access = ctx->remoteAccess;
        const uint16_t count = access != nullptr && access != &refuseAll ? access->nameCount : 0;
        if (count == kMaxStationGates) {
            err(kLogError, "TELDRV> ReadInitFile() error, REMOTE_WRITE lists more than %u gates, line %u in '%s'",
                static_cast<unsigned>(kMaxStationGates), line, file);
            return;
        }
        access = BlockWithRoom(ctx, static_cast<uint16_t>(count + 1), "REMOTE_WRITE", line, file);
        if (access == nullptr) return;
        access->writeListed = true;
        RemoteWriteName& entry = Names(access)[access->nameCount++];
        std::memset(entry.name, 0, kNameSize);
        std::memcpy(entry.name, start, length);
        entry.line = static_cast<uint16_t>(line);
    }
    if (!any) err(kLogError, "TELDRV> ReadIntFile() illegal line %u in '%s'", line, file);
}

void ApplyClockMaxStep(StationContext* ctx, uint32_t seconds, unsigned line, const char* file) {
    RemoteAccess* access = BlockWithRoom(ctx, 0, "CLOCK_MAX_STEP_SEC", line, file);
    if (access == nullptr) return;
    access->clockLimited = true;
    access->clockMaxStep = seconds;
}

void ReportUnknownRemoteWriteNames(const StationContext* ctx, const char* file) {
    const RemoteAccess* access = ctx->remoteAccess;
    // Without a station gate table ColdStart refuses to start anyway.
    if (access == nullptr || ctx->stationGates == nullptr) return;
    for (uint16_t i = 0; i < access->nameCount; ++i) {
        const RemoteWriteName& entry = Names(access)[i];
        bool found = false;
        for (uint16_t g = 0; g < ctx->stationGateCount && !found; ++g) {
            found = SameName(entry.name, ctx->stationGates[g].name);
        }
        if (!found) ReportNotAGate(entry.name, std::strlen(entry.name), entry.line, file);
    }
}

bool RemoteWriteAllowed(const StationContext* ctx, const StationGate& gate) {
    const RemoteAccess* access = ctx->remoteAccess;
    if (access == nullptr || !access->writeListed) return true;
    for (uint16_t i = 0; i < access->nameCount; ++i) {
        if (SameName(Names(access)[i].name, gate.name)) return true;
    }
    return false;
}

bool ClockStepAllowed(const StationContext* ctx, int64_t step) {
    const RemoteAccess* access = ctx->remoteAccess;
    if (access == nullptr || !access->clockLimited) return true;
    return (step < 0 ? -step : step) <= int64_t{access->clockMaxStep};
}

RemoteAccess* HeapRemoteAccess(const StationContext* ctx) {
    return ctx->remoteAccess != &refuseAll ? ctx->remoteAccess : nullptr;
}

void ReleaseRemoteAccess(StationContext* ctx) { std::free(HeapRemoteAccess(ctx)); }
