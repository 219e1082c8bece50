// Handles of open ports and the backends behind them. A handle names a slot
// and carries a generation, so a stale handle from a closed port is refused
// rather than reaching the port that took the slot later.
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/serial.h"
#include "platform/serial_native.h"

namespace platform {
namespace {

constexpr size_t kSlotBits = 8;
constexpr size_t kSlots = size_t{1} << kSlotBits;

struct Port {
    Port(const SerialBackend* b, void* s) : backend(b), state(s) {}
    const SerialBackend* backend;
    void* state;
    bool closed = false;
    std::atomic<const SerialTap*> tap{nullptr};
    std::atomic<bool> carrier{false};
    ~Port() {
        if (!closed) backend->close(state);
    }
};

struct Registry {
    std::mutex mutex;
    std::vector<std::pair<std::string, const SerialBackend*>> providers;
    std::shared_ptr<Port> slots[kSlots];
    uint32_t generation[kSlots] = {};
};

Registry& R() {
    static Registry registry;
    return registry;
}

const SerialBackend* BackendFor(const char* name) {
    std::lock_guard lock(R().mutex);
    for (const auto& [prefix, backend] : R().providers) {
        if (std::strncmp(name, prefix.c_str(), prefix.size()) == 0) return backend;
    }
    return NativeSerialBackend();
}

PortHandle MakeHandle(size_t slot, uint32_t generation) {
    return static_cast<PortHandle>((static_cast<uint32_t>(generation) << kSlotBits) | slot) + 1;
}

std::shared_ptr<Port> Find(PortHandle handle) {
    if (handle == 0 || handle == kInvalidPortHandle) return nullptr;
    const PortHandle raw = handle - 1;
    const size_t slot = raw & (kSlots - 1);
    std::lock_guard lock(R().mutex);
    if (R().slots[slot] && MakeHandle(slot, R().generation[slot]) == handle) return R().slots[slot];
    return nullptr;
}

bool Result(uint32_t error) {
    if (error == 0) return true;
    SetLastError(error);
    return false;
}

template <typename Call>
bool WithPort(PortHandle handle, Call call) {
    std::shared_ptr<Port> port = Find(handle);
    if (!port) return Result(kErrorInvalidHandle);
    return Result(call(*port));
}

}  // namespace

void RegisterSerialBackend(const char* prefix, const SerialBackend* backend) {
    std::lock_guard lock(R().mutex);
    for (auto& entry : R().providers) {
        if (entry.first == prefix) {
            entry.second = backend;
            return;
        }
    }
    R().providers.emplace_back(prefix, backend);
}

void UnregisterSerialBackend(const char* prefix) {
    std::lock_guard lock(R().mutex);
    std::erase_if(R().providers, [&](const auto& entry) { return entry.first == prefix; });
}

PortHandle CommOpen(const char* name) {
    const SerialBackend* backend = BackendFor(name);
    uint32_t error = kErrorGenFailure;
    void* state = backend->open(name, &error);
    if (!state) {
        SetLastError(error);
        return kInvalidPortHandle;
    }
    auto port = std::make_shared<Port>(backend, state);
    std::lock_guard lock(R().mutex);
    for (size_t slot = 0; slot < kSlots; ++slot) {
        if (!R().slots[slot]) {
            R().slots[slot] = std::move(port);
            // Generations stay below 2^23 so a handle fits 32 bits and is never ~0.
            R().generation[slot] = (R().generation[slot] + 1) & 0x7FFFFF;
            return MakeHandle(slot, R().generation[slot]);
        }
    }
    backend->close(state);
    SetLastError(kErrorTooManyOpenFiles);
    return kInvalidPortHandle;
}

bool CommClose(PortHandle handle) {
    if (handle == 0 || handle == kInvalidPortHandle) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    const size_t slot = (handle - 1) & (kSlots - 1);
    std::lock_guard lock(R().mutex);
    std::shared_ptr<Port>& port = R().slots[slot];
    if (!port || MakeHandle(slot, R().generation[slot]) != handle) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (port.use_count() == 1) {
        // A device that refuses to close keeps its handle.
        if (!Result(port->backend->close(port->state))) return false;
        port->closed = true;
    }
    // Otherwise a call on another thread still uses the device: it closes
    // when that call returns.
    port.reset();
    return true;
}

bool CommGetState(PortHandle h, Dcb* dcb) {
    return WithPort(h, [&](Port& p) { return p.backend->getState(p.state, dcb); });
}
bool CommSetState(PortHandle h, const Dcb* dcb) {
    return WithPort(h, [&](Port& p) { return p.backend->setState(p.state, dcb); });
}
bool CommGetTimeouts(PortHandle h, CommTimeouts* t) {
    return WithPort(h, [&](Port& p) { return p.backend->getTimeouts(p.state, t); });
}
bool CommSetTimeouts(PortHandle h, const CommTimeouts* t) {
    return WithPort(h, [&](Port& p) { return p.backend->setTimeouts(p.state, t); });
}
bool CommSetup(PortHandle h, uint32_t in, uint32_t out) {
    return WithPort(h, [&](Port& p) { return p.backend->setupComm(p.state, in, out); });
}
bool CommClearError(PortHandle h, uint32_t* errors, uint32_t* waiting) {
    return WithPort(h, [&](Port& p) { return p.backend->clearError(p.state, errors, waiting); });
}
// The tap sees what the backend did, never what it was asked to do.
bool CommRead(PortHandle h, void* buffer, uint32_t count, uint32_t* received) {
    return WithPort(h, [&](Port& p) {
        const uint32_t error = p.backend->read(p.state, buffer, count, received);
        const SerialTap* tap = p.tap.load(std::memory_order_acquire);
        if (tap && error == 0 && *received > 0) tap->bytes(tap->user, false, buffer, *received);
        return error;
    });
}
bool CommWrite(PortHandle h, const void* buffer, uint32_t count, uint32_t* written) {
    return WithPort(h, [&](Port& p) {
        const uint32_t error = p.backend->write(p.state, buffer, count, written);
        const SerialTap* tap = p.tap.load(std::memory_order_acquire);
        if (tap && error == 0 && *written > 0) tap->bytes(tap->user, true, buffer, *written);
        return error;
    });
}
bool CommEscape(PortHandle h, uint32_t function) {
    return WithPort(h, [&](Port& p) {
        const uint32_t error = p.backend->escape(p.state, function);
        const SerialTap* tap = p.tap.load(std::memory_order_acquire);
        if (tap && error == 0 && (function == kSetDtr || function == kClrDtr)) tap->dtr(tap->user, function == kSetDtr);
        return error;
    });
}
bool CommModemStatus(PortHandle h, uint32_t* status) {
    return WithPort(h, [&](Port& p) {
        const uint32_t error = p.backend->modemStatus(p.state, status);
        const SerialTap* tap = p.tap.load(std::memory_order_acquire);
        if (tap && error == 0) {
            const bool on = (*status & kModemStatusRlsdOn) != 0;
            if (p.carrier.exchange(on) != on) tap->carrier(tap->user, on);
        }
        return error;
    });
}
bool CommSetTap(PortHandle h, const SerialTap* tap) {
    return WithPort(h, [&](Port& p) {
        p.tap.store(tap, std::memory_order_release);
        return uint32_t{0};
    });
}

}  // namespace platform
