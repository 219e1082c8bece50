#include "sim/line.h"

#include <map>
#include <memory>

namespace sim {
namespace {

std::map<std::string, std::unique_ptr<Line>>& Lines() {
    static std::map<std::string, std::unique_ptr<Line>> lines;
    return lines;
}

bool Take(int& count) {
    if (count == 0) return false;
    if (count > 0) --count;
    return true;
}

void Record(WorldLock& lock, Line& line, Direction direction, const uint8_t* data, size_t size) {
    line.transcript.push_back({NowMsLocked(lock), direction, std::vector<uint8_t>(data, data + size)});
}

// What every call on a port end whose device has gone gives.
constexpr uint32_t kDeviceGone = platform::kErrorGenFailure;

void* Open(const char* device, uint32_t* error) {
    WorldLock lock(WorldMutex());
    auto found = Lines().find(device);
    if (found == Lines().end() || found->second->faults.failOpen || !found->second->present) {
        *error = platform::kErrorFileNotFound;
        return nullptr;
    }
    Line& line = *found->second;
    if (line.open) {
        *error = platform::kErrorAccessDenied;
        return nullptr;
    }
    line.open = true;
    line.dcb = platform::FreshDcb();
    line.timeouts = {};
    line.toPort.clear();
    return &line;
}

uint32_t Close(void* state) {
    WorldLock lock(WorldMutex());
    Line& line = *static_cast<Line*>(state);
    if (line.faults.failClose) return platform::kErrorGenFailure;
    line.open = false;
    line.portDead = false;
    return 0;
}

uint32_t GetState(void* state, platform::Dcb* dcb) {
    WorldLock lock(WorldMutex());
    Line& line = *static_cast<Line*>(state);
    if (line.portDead) return kDeviceGone;
    if (line.faults.failGetState) return platform::kErrorGenFailure;
    *dcb = line.dcb;
    return 0;
}

uint32_t SetState(void* state, const platform::Dcb* dcb) {
    WorldLock lock(WorldMutex());
    Line& line = *static_cast<Line*>(state);
    if (line.portDead) return kDeviceGone;
    if (line.faults.failSetState) return platform::kErrorGenFailure;
    if (dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > 4 || dcb->StopBits > 2) {
        return platform::kErrorInvalidParameter;
    }
    line.dcb = *dcb;
    return 0;
}

uint32_t GetTimeouts(void* state, platform::CommTimeouts* timeouts) {
    WorldLock lock(WorldMutex());
    Line& line = *static_cast<Line*>(state);
    if (line.portDead) return kDeviceGone;
    if (line.faults.failGetTimeouts) return platform::kErrorGenFailure;
    *timeouts = line.timeouts;
    return 0;
}

uint32_t SetTimeouts(void* state, const platform::CommTimeouts* timeouts) {
    WorldLock lock(WorldMutex());
    Line& line = *static_cast<Line*>(state);
    if (line.portDead) return kDeviceGone;
    if (line.faults.failSetTimeouts) return platform::kErrorGenFailure;
    line.timeouts = *timeouts;
    ++line.timeoutWrites;
    return 0;
}

uint32_t Setup(void* state, uint32_t in, uint32_t out) {
    WorldLock lock(WorldMutex());
    Line& line = *static_cast<Line*>(state);
    if (line.portDead) return kDeviceGone;
    line.inQueueSize = in;
    line.outQueueSize = out;
    return 0;
}

uint32_t ClearError(void* state, uint32_t* errors, uint32_t* waiting) {
    WorldLock lock(WorldMutex());
    Line& line = *static_cast<Line*>(state);
    if (line.portDead) return kDeviceGone;
    if (Take(line.faults.failClearError)) return platform::kErrorGenFailure;
    if (line.peer) line.peer->Poll(lock);
    if (errors) *errors = 0;
    if (waiting) *waiting = static_cast<uint32_t>(line.toPort.size());
    return 0;
}

constexpr uint32_t kMaxDword = 0xFFFFFFFF;

uint32_t Read(void* state, void* buffer, uint32_t count, uint32_t* received) {
    WorldLock lock(WorldMutex());
    Line& line = *static_cast<Line*>(state);
    ++line.reads;
    *received = 0;
    if (line.portDead) return kDeviceGone;
    if (Take(line.faults.failReads)) return line.faults.readError;
    const platform::CommTimeouts& t = line.timeouts;
    int64_t deadline;
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        deadline = NowMsLocked(lock);  // return at once with what is there
    } else if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        deadline = kForever;  // no total time-out: wait for the whole count
    } else {
        deadline = NowMsLocked(lock) + static_cast<int64_t>(t.ReadTotalTimeoutMultiplier) * count +
                   t.ReadTotalTimeoutConstant;
    }
    if (line.peer) line.peer->Poll(lock);
    const std::function<bool()> whole = [&] { return line.toPort.size() >= count || line.portDead; };
    WaitUntil(lock, whole, deadline);
    if (line.portDead) return kDeviceGone;
    if (line.peer) line.peer->Poll(lock);
    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t got = 0;
    while (got < count && !line.toPort.empty()) {
        out[got++] = line.toPort.front();
        line.toPort.pop_front();
    }
    *received = got;
    return 0;
}

uint32_t Write(void* state, const void* buffer, uint32_t count, uint32_t* written) {
    WorldLock lock(WorldMutex());
    Line& line = *static_cast<Line*>(state);
    if (line.portDead) return kDeviceGone;
    if (Take(line.faults.failWrites)) return line.faults.writeError;
    uint32_t accepted = count;
    if (line.faults.writeLimit >= 0 && accepted > static_cast<uint32_t>(line.faults.writeLimit)) {
        accepted = static_cast<uint32_t>(line.faults.writeLimit);
    }
    *written = accepted;
    if (accepted == 0) return 0;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    Record(lock, line, Direction::ToPeer, bytes, accepted);
    if (line.peer) line.peer->FromPort(lock, bytes, accepted);
    Notify(lock);
    return 0;
}

uint32_t Escape(void* state, uint32_t function) {
    WorldLock lock(WorldMutex());
    Line& line = *static_cast<Line*>(state);
    if (line.portDead) return kDeviceGone;
    if (function != platform::kSetDtr && function != platform::kClrDtr) return 0;
    line.dtr = function == platform::kSetDtr;
    const uint8_t level = line.dtr ? 1 : 0;
    Record(lock, line, Direction::Dtr, &level, 1);
    if (line.peer) line.peer->DtrChanged(lock, line.dtr);
    Notify(lock);
    return 0;
}

constexpr uint32_t kCtsOn = 0x10;
constexpr uint32_t kDsrOn = 0x20;

uint32_t ModemStatus(void* state, uint32_t* status) {
    WorldLock lock(WorldMutex());
    Line& line = *static_cast<Line*>(state);
    if (line.portDead) return kDeviceGone;
    if (Take(line.faults.failModemStatus)) return line.faults.modemStatusError;
    *status = 0;
    if (line.peer) {
        line.peer->Poll(lock);
        *status = kCtsOn | kDsrOn;
        if (line.peer->CarrierDetect(lock)) *status |= platform::kModemStatusRlsdOn;
    }
    return 0;
}

const platform::SerialBackend kLineBackend = {Open,       Close,      GetState, SetState, GetTimeouts, SetTimeouts,
                                              Setup,      ClearError, Read,     Write,    Escape,      ModemStatus};

}  // namespace

Line& CreateLine(const std::string& name) {
    WorldLock lock(WorldMutex());
    auto& slot = Lines()[name];
    if (!slot) {
        slot = std::make_unique<Line>();
        slot->name = name;
    }
    return *slot;
}

Line* FindLine(const std::string& name) {
    WorldLock lock(WorldMutex());
    auto found = Lines().find(name);
    return found == Lines().end() ? nullptr : found->second.get();
}

void ResetLines() {
    WorldLock lock(WorldMutex());
    Lines().clear();
}

void SetDevicePresent(Line& line, bool present) {
    WorldLock lock(WorldMutex());
    if (!present && line.open) line.portDead = true;
    line.present = present;
    Notify(lock);
}

void SendToPort(WorldLock& lock, Line& line, const uint8_t* data, size_t size) {
    if (size == 0) return;
    Record(lock, line, Direction::ToPort, data, size);
    line.toPort.insert(line.toPort.end(), data, data + size);
    Notify(lock);
}

void LineChanged(WorldLock& lock) { Notify(lock); }

std::vector<uint8_t> BytesFromPort(const Line& line) {
    WorldLock lock(WorldMutex());
    std::vector<uint8_t> bytes;
    for (const LineEvent& event : line.transcript) {
        if (event.direction == Direction::ToPeer) bytes.insert(bytes.end(), event.bytes.begin(), event.bytes.end());
    }
    return bytes;
}

const platform::SerialBackend* LineBackend() { return &kLineBackend; }

}  // namespace sim
