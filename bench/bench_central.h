// A central station wired straight to a simulated line for the benchmarks.
// It stamps the moment the last byte of a request reaches the driver's port
// and the moment the first byte of the response leaves it. With a baud rate
// it also paces the line both ways as a UART would (10 bits a byte): a
// request reaches the port only when its last byte would have, and a
// response counts as received only when its last byte would have.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "sim/central.h"
#include "sim/line.h"

namespace bench {

using Clock = std::chrono::steady_clock;

class BenchCentral : public sim::LinePeer {
public:
    // bytesPerSecond 0: the line carries bytes at once.
    BenchCentral(sim::Line& line, double bytesPerSecond) : line_(line) {
        if (bytesPerSecond > 0) byteTime_ = std::chrono::duration<double>(1.0 / bytesPerSecond);
        sim::WorldLock lock(sim::WorldMutex());
        line_.peer = this;
    }
    ~BenchCentral() override {
        sim::WorldLock lock(sim::WorldMutex());
        if (line_.peer == this) line_.peer = nullptr;
    }
    BenchCentral(const BenchCentral&) = delete;
    BenchCentral& operator=(const BenchCentral&) = delete;

    void FromPort(sim::WorldLock&, const uint8_t* data, size_t size) override {
        const Clock::time_point now = Clock::now();
        if (!firstByte_) firstByte_ = now;
        input_.insert(input_.end(), data, data + size);
        if (paced()) {
            const Clock::time_point start = std::max(now, lineFree_);
            lineFree_ = start + std::chrono::duration_cast<Clock::duration>(byteTime_ * static_cast<double>(size));
        }
    }
    bool CarrierDetect(const sim::WorldLock&) override { return carrier_; }
    // The line's read calls this before and after its wait: the first call
    // after a request arrived is the driver's thread running again.
    void Poll(sim::WorldLock&) override {
        if (!driverRunning_) driverRunning_ = Clock::now();
    }

    // Ends the session at once: the carrier drops and one last request
    // wakes the driver's read, whose answer then finds no carrier.
    void DropCarrier() {
        const sim::Bytes frame = sim::EncodeFrame("FEC", ++tag_, {0x53});
        sim::WorldLock lock(sim::WorldMutex());
        carrier_ = false;
        sim::SendToPort(lock, line_, frame.data(), frame.size());
    }

    struct Exchange {
        sim::Frame response;
        Clock::time_point requestSent;     // transmission began
        Clock::time_point requestArrived;  // last byte at the driver's port
        Clock::time_point driverRunning;   // the driver's thread first looked at the line after that
        Clock::time_point firstByte;       // first response byte left the port
        Clock::time_point received;        // last response byte at the central
    };

    // One request frame, one response frame; nullopt when none came whole
    // within the time-out or it was not a proper frame.
    std::optional<Exchange> Ask(const sim::Bytes& body, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const sim::Bytes frame = sim::EncodeFrame("FEC", ++tag_, body);
        Exchange exchange{};
        exchange.requestSent = Clock::now();
        if (paced()) {
            std::this_thread::sleep_until(exchange.requestSent + Duration(frame.size()));
        }
        sim::WorldLock lock(sim::WorldMutex());
        input_.clear();
        firstByte_.reset();
        lineFree_ = {};
        exchange.requestArrived = Clock::now();
        driverRunning_.reset();
        sim::SendToPort(lock, line_, frame.data(), frame.size());
        const auto whole = [&] {
            return input_.size() >= 13 && input_.size() >= 13u + ((size_t{input_[6]} << 8) | input_[7]);
        };
        const int64_t deadline = sim::NowMsLocked(lock) + timeout.count();
        if (!sim::WaitUntil(lock, whole, deadline)) return std::nullopt;
        exchange.firstByte = *firstByte_;
        exchange.driverRunning = driverRunning_.value_or(exchange.firstByte);
        exchange.received = paced() ? lineFree_ : Clock::now();
        const sim::Bytes bytes(input_.begin(), input_.end());
        lock.unlock();
        if (!sim::CheckFrame(bytes, "FER", &exchange.response).empty()) return std::nullopt;
        if (paced()) std::this_thread::sleep_until(exchange.received);
        return exchange;
    }

private:
    bool paced() const { return byteTime_.count() > 0; }
    Clock::duration Duration(size_t bytes) const {
        return std::chrono::duration_cast<Clock::duration>(byteTime_ * static_cast<double>(bytes));
    }

    sim::Line& line_;
    bool carrier_ = true;
    std::chrono::duration<double> byteTime_{0};
    std::vector<uint8_t> input_;
    std::optional<Clock::time_point> firstByte_;
    std::optional<Clock::time_point> driverRunning_;
    Clock::time_point lineFree_{};
    uint16_t tag_ = 0x2000;
};

}  // namespace bench
