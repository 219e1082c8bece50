// A telephone exchange between two simulated modems: a number on the
// caller's modem whose answering party rings the station's modem and, once
// that answers, passes bytes both ways. Either side hanging up ends both.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "sim/modem.h"

namespace tools {

class ModemBridge : public sim::Party {
public:
    explicit ModemBridge(sim::Modem& station) : station_(station), far_(*this) {}
    ModemBridge(const ModemBridge&) = delete;
    ModemBridge& operator=(const ModemBridge&) = delete;

    // Sees (and may change or empty) every piece the station sends toward
    // the caller: a noisy or lossy line.
    void SetLineFilter(std::function<void(std::vector<uint8_t>&)> filter) { filter_ = std::move(filter); }

    // The caller's modem reached the number.
    void Connected(sim::WorldLock& lock, sim::Connection& connection) override {
        caller_ = &connection;
        station_.Ring(lock, far_, 5);
    }
    void FromDriver(sim::WorldLock& lock, const uint8_t* data, size_t size) override {
        if (callee_) callee_->SendToDriver(lock, data, size);
    }
    void Disconnected(sim::WorldLock& lock) override {
        caller_ = nullptr;
        if (sim::Connection* callee = callee_) {
            callee_ = nullptr;
            callee->HangUp(lock);
        }
    }

private:
    // The bridge as the station's modem sees it: an incoming caller.
    class FarEnd : public sim::Party {
    public:
        explicit FarEnd(ModemBridge& bridge) : bridge_(bridge) {}
        void Connected(sim::WorldLock&, sim::Connection& connection) override { bridge_.callee_ = &connection; }
        void FromDriver(sim::WorldLock& lock, const uint8_t* data, size_t size) override {
            if (!bridge_.caller_) return;
            if (!bridge_.filter_) {
                bridge_.caller_->SendToDriver(lock, data, size);
                return;
            }
            std::vector<uint8_t> bytes(data, data + size);
            bridge_.filter_(bytes);
            if (!bytes.empty()) bridge_.caller_->SendToDriver(lock, bytes.data(), bytes.size());
        }
        void Disconnected(sim::WorldLock& lock) override {
            bridge_.callee_ = nullptr;
            if (sim::Connection* caller = bridge_.caller_) {
                bridge_.caller_ = nullptr;
                caller->HangUp(lock);
            }
        }

    private:
        ModemBridge& bridge_;
    };

    sim::Modem& station_;
    FarEnd far_;
    sim::Connection* caller_ = nullptr;
    sim::Connection* callee_ = nullptr;
    std::function<void(std::vector<uint8_t>&)> filter_;
};

}  // namespace tools
