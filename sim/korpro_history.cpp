// History files of the simulated host runtime.
#include "sim/korpro_history.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "host/korpro.h"
#include "sim/korpro_parts.h"

namespace korpro_sim {
namespace {

constexpr size_t kRecordSize = 104;
constexpr uint32_t kAllGates = 65535;

struct Stored {
    HistoryEntry entry;
    uint64_t serial;  // order among records of the same time
};

bool Before(const Stored& a, int32_t time, uint64_t serial) {
    return a.entry.time < time || (a.entry.time == time && a.serial < serial);
}

struct Window {
    HistoryFilterSeen filter;
    bool started = false;  // a record has been delivered; (time, serial) is the last one
    int32_t lastTime = 0;
    uint64_t lastSerial = 0;
};

struct State {
    std::mutex mutex;
    std::vector<Stored> files;  // by (time, serial)
    uint64_t nextSerial = 0;
    std::map<uint32_t, Window> handles;
    std::vector<uint32_t> openOrder;
    uint32_t nextHandle = 0x4801;
    std::vector<uint32_t> closes;
    int opens = 0;
    int reads = 0;
    uint32_t lastReadCount = 0;
    std::optional<HistoryFilterSeen> lastFilter;
    uint32_t openFailure = 0;
    int readsBeforeFailure = -1;  // -1: no failure armed
    uint32_t readFailure = 0;
    uint32_t batchLimit = 0;
};

State& H() {
    static State state;
    return state;
}

void Insert(State& s, const HistoryEntry& entry) {
    const uint64_t serial = s.nextSerial++;
    Stored stored{entry, serial};
    if (s.files.empty() || !Before(stored, s.files.back().entry.time, s.files.back().serial)) {
        s.files.push_back(stored);
        return;
    }
    auto at = std::upper_bound(s.files.begin(), s.files.end(), stored, [](const Stored& a, const Stored& b) {
        return a.entry.time < b.entry.time || (a.entry.time == b.entry.time && a.serial < b.serial);
    });
    s.files.insert(at, stored);
}

uint32_t Le32(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) | (static_cast<uint32_t>(b[2]) << 16) |
           (static_cast<uint32_t>(b[3]) << 24);
}

}  // namespace

void ResetHistory() {
    State& s = H();
    std::lock_guard lock(s.mutex);
    s.files.clear();
    s.nextSerial = 0;
    s.handles.clear();
    s.openOrder.clear();
    s.nextHandle = 0x4801;
    s.closes.clear();
    s.opens = 0;
    s.reads = 0;
    s.lastReadCount = 0;
    s.lastFilter.reset();
    s.openFailure = 0;
    s.readsBeforeFailure = -1;
    s.readFailure = 0;
    s.batchLimit = 0;
}

HistoryPayload ValuePayload(int32_t time, uint16_t milliseconds, uint16_t status, double value) {
    HistoryPayload payload{};
    const uint32_t t = static_cast<uint32_t>(time);
    for (int i = 0; i < 4; ++i) payload[i] = static_cast<uint8_t>(t >> (8 * i));
    payload[4] = static_cast<uint8_t>(milliseconds & 0xFF);
    payload[5] = static_cast<uint8_t>(milliseconds >> 8);
    payload[6] = static_cast<uint8_t>(status & 0xFF);
    payload[7] = static_cast<uint8_t>(status >> 8);
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i) payload[8 + i] = static_cast<uint8_t>(bits >> (8 * i));
    return payload;
}

void AddHistory(const HistoryEntry& entry) {
    std::lock_guard lock(H().mutex);
    Insert(H(), entry);
}

void AddHistory(const std::vector<HistoryEntry>& entries) {
    std::lock_guard lock(H().mutex);
    for (const HistoryEntry& entry : entries) Insert(H(), entry);
}

void RecordGateValue(uint16_t gateId, double value, int32_t time) {
    AddHistory(HistoryEntry{gateId, ValuePayload(time, 0, 0, value), time});
}

std::vector<HistoryEntry> HistoryFiles() {
    std::lock_guard lock(H().mutex);
    std::vector<HistoryEntry> out;
    out.reserve(H().files.size());
    for (const Stored& stored : H().files) out.push_back(stored.entry);
    return out;
}

void FailHistoryOpen(uint32_t result) {
    std::lock_guard lock(H().mutex);
    H().openFailure = result;
}

void FailHistoryReadAfter(int reads, uint32_t result) {
    std::lock_guard lock(H().mutex);
    H().readsBeforeFailure = reads;
    H().readFailure = result;
}

void LimitHistoryBatch(uint32_t records) {
    std::lock_guard lock(H().mutex);
    H().batchLimit = records;
}

std::vector<uint32_t> OpenHistoryHandles() {
    std::lock_guard lock(H().mutex);
    return H().openOrder;
}

std::vector<uint32_t> HistoryCloseCalls() {
    std::lock_guard lock(H().mutex);
    return H().closes;
}

int HistoryOpenCalls() {
    std::lock_guard lock(H().mutex);
    return H().opens;
}

int HistoryReadCalls() {
    std::lock_guard lock(H().mutex);
    return H().reads;
}

uint32_t LastHistoryReadCount() {
    std::lock_guard lock(H().mutex);
    return H().lastReadCount;
}

std::optional<HistoryFilterSeen> LastHistoryFilter() {
    std::lock_guard lock(H().mutex);
    return H().lastFilter;
}

}  // namespace korpro_sim

using korpro_sim::H;

extern "C" {

uint32_t Kor5VfiOpen(uint32_t zero, uint32_t zero2, uint32_t one, uint32_t zero3, const void* filter,
                     uint32_t* handle) {
    korpro_sim::State& s = H();
    std::lock_guard lock(s.mutex);
    ++s.opens;
    if (filter == nullptr || handle == nullptr) return korpro_sim::kHistoryBadArguments;
    const auto* bytes = static_cast<const uint8_t*>(filter);
    korpro_sim::HistoryFilterSeen seen{korpro_sim::Le32(bytes), korpro_sim::Le32(bytes + 4), korpro_sim::Le32(bytes + 8),
                                       static_cast<uint16_t>(bytes[12] | (bytes[13] << 8))};
    s.lastFilter = seen;
    if (zero != 0 || zero2 != 0 || one != 1 || zero3 != 0) return korpro_sim::kHistoryBadArguments;
    if (s.openFailure != 0) return s.openFailure;
    const uint32_t id = s.nextHandle++;
    s.handles[id] = korpro_sim::Window{seen};
    s.openOrder.push_back(id);
    *handle = id;
    return 0;
}

uint32_t Kor5VfiRead(uint32_t handle, uint32_t* count, void* records) {
    korpro_sim::State& s = H();
    std::lock_guard lock(s.mutex);
    ++s.reads;
    if (count == nullptr || records == nullptr) return korpro_sim::kHistoryBadArguments;
    s.lastReadCount = *count;
    const uint32_t asked = *count;
    *count = 0;
    auto found = s.handles.find(handle);
    if (found == s.handles.end()) return korpro_sim::kHistoryBadHandle;
    if (s.readsBeforeFailure == 0) {
        s.readsBeforeFailure = -1;
        return s.readFailure;
    }
    if (s.readsBeforeFailure > 0) --s.readsBeforeFailure;

    korpro_sim::Window& window = found->second;
    const uint32_t limit = s.batchLimit != 0 ? std::min(asked, s.batchLimit) : asked;
    // Reads go on after the last record delivered, or from the window's start.
    auto at = window.started
                  ? std::partition_point(s.files.begin(), s.files.end(),
                                         [&](const korpro_sim::Stored& a) {
                                             return a.entry.time < window.lastTime ||
                                                    (a.entry.time == window.lastTime && a.serial <= window.lastSerial);
                                         })
                  : std::partition_point(s.files.begin(), s.files.end(), [&](const korpro_sim::Stored& a) {
                        return static_cast<int64_t>(a.entry.time) < static_cast<int64_t>(window.filter.startTime);
                    });
    auto* out = static_cast<uint8_t*>(records);
    uint32_t delivered = 0;
    for (; at != s.files.end() && delivered < limit; ++at) {
        if (static_cast<int64_t>(at->entry.time) > static_cast<int64_t>(window.filter.endTime)) break;
        window.started = true;
        window.lastTime = at->entry.time;
        window.lastSerial = at->serial;
        if (window.filter.gates != korpro_sim::kAllGates && at->entry.gateId != window.filter.gates) continue;
        uint8_t* record = out + static_cast<size_t>(delivered) * korpro_sim::kRecordSize;
        std::memset(record, korpro_sim::kHistoryFiller, korpro_sim::kRecordSize);
        record[0] = static_cast<uint8_t>(at->entry.gateId & 0xFF);
        record[1] = static_cast<uint8_t>(at->entry.gateId >> 8);
        std::memcpy(record + 4, at->entry.payload.data(), at->entry.payload.size());
        ++delivered;
    }
    *count = delivered;
    return 0;
}

uint32_t Kor5VfiClose(uint32_t handle) {
    korpro_sim::State& s = H();
    std::lock_guard lock(s.mutex);
    s.closes.push_back(handle);
    if (s.handles.erase(handle) == 0) return korpro_sim::kHistoryBadHandle;
    s.openOrder.erase(std::remove(s.openOrder.begin(), s.openOrder.end(), handle), s.openOrder.end());
    return 0;
}

}  // extern "C"
