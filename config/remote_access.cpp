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

// Refuses every write and every clock step; later REMOTE_WRITE lines change nothing.
constexpr RemoteAccess kRefusing = {0, true, true, true, 0, 0, nullptr};

const RemoteAccess* Access(const StationContext* ctx) {
    return ctx->optIn != nullptr ? &ctx->optIn->remoteAccess : nullptr;
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

// A protection the operator asked for must not fall back to "everything
// allowed" when memory runs out: everything is refused instead.
void RefuseEverything(StationContext* ctx, const char* keyword, unsigned line, const char* file) {
    err(kLogError,
        "TELDRV> ReadInitFile() error, alloc mem for %s, line %u in '%s', all remote writes and clock settings "
        "refused",
        keyword, line, file);
    if (OptInSettings* own = OwnedOptIn(ctx)) {
        std::free(own->remoteAccess.names);
        own->remoteAccess = kRefusing;
    } else {
        UseRefusingOptIn(ctx);
    }
}

// The context's remote access with room for at least `names` names, the
// list grown through driverAlloc; nullptr when it refuses everything (then
// or already).
RemoteAccess* AccessWithRoom(StationContext* ctx, uint16_t names, const char* keyword, unsigned line,
                             const char* file) {
    const RemoteAccess* now = Access(ctx);
    if (now != nullptr && now->refusing) return nullptr;
    OptInSettings* own = OwnOptIn(ctx);
    if (own == nullptr) {
        RefuseEverything(ctx, keyword, line, file);
        return nullptr;
    }
    RemoteAccess* access = &own->remoteAccess;
    if (access->nameCapacity >= names) return access;
    uint32_t capacity = access->nameCapacity;
    while (capacity < names) capacity = capacity < kFirstNameCapacity ? kFirstNameCapacity : capacity * 2;
    auto* list = static_cast<RemoteWriteName*>(driverAlloc(capacity * sizeof(RemoteWriteName)));
    if (list == nullptr) {
        RefuseEverything(ctx, keyword, line, file);
        return nullptr;
    }
    if (access->nameCount > 0) std::memcpy(list, access->names, access->nameCount * sizeof(RemoteWriteName));
    std::free(access->names);
    access->names = list;
    access->nameCapacity = static_cast<uint16_t>(capacity);
    return access;
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
    if (all && Access(ctx) == nullptr) return true;  // what a file without the keyword gives
    RemoteAccess* access = AccessWithRoom(ctx, 0, "REMOTE_WRITE", line, file);
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
        const RemoteAccess* now = Access(ctx);
        const uint16_t count = now != nullptr ? now->nameCount : 0;
        if (count == kMaxStationGates) {
            err(kLogError, "TELDRV> ReadInitFile() error, REMOTE_WRITE lists more than %u gates, line %u in '%s'",
                static_cast<unsigned>(kMaxStationGates), line, file);
            return;
        }
        RemoteAccess* access = AccessWithRoom(ctx, static_cast<uint16_t>(count + 1), "REMOTE_WRITE", line, file);
        if (access == nullptr) return;
        access->writeListed = true;
        RemoteWriteName& entry = access->names[access->nameCount++];
        std::memset(entry.name, 0, kNameSize);
        std::memcpy(entry.name, start, length);
        entry.line = static_cast<uint16_t>(line);
    }
    if (!any) err(kLogError, "TELDRV> ReadIntFile() illegal line %u in '%s'", line, file);
}

void ApplyClockMaxStep(StationContext* ctx, uint32_t seconds, unsigned line, const char* file) {
    RemoteAccess* access = AccessWithRoom(ctx, 0, "CLOCK_MAX_STEP_SEC", line, file);
    if (access == nullptr) return;
    access->clockLimited = true;
    access->clockMaxStep = seconds;
}

void ReportUnknownRemoteWriteNames(const StationContext* ctx, const char* file) {
    const RemoteAccess* access = Access(ctx);
    // Without a station gate table ColdStart refuses to start anyway.
    if (access == nullptr || ctx->stationGates == nullptr) return;
    for (uint16_t i = 0; i < access->nameCount; ++i) {
        const RemoteWriteName& entry = access->names[i];
        bool found = false;
        for (uint16_t g = 0; g < ctx->stationGateCount && !found; ++g) {
            found = SameName(entry.name, ctx->stationGates[g].name);
        }
        if (!found) ReportNotAGate(entry.name, std::strlen(entry.name), entry.line, file);
    }
}

bool RemoteWriteAllowed(const StationContext* ctx, const StationGate& gate) {
    const RemoteAccess* access = Access(ctx);
    if (access == nullptr || !access->writeListed) return true;
    for (uint16_t i = 0; i < access->nameCount; ++i) {
        if (SameName(access->names[i].name, gate.name)) return true;
    }
    return false;
}

bool ClockStepAllowed(const StationContext* ctx, int64_t step) {
    const RemoteAccess* access = Access(ctx);
    if (access == nullptr || !access->clockLimited) return true;
    return (step < 0 ? -step : step) <= int64_t{access->clockMaxStep};
}
