#include "tools/station/exchange.h"

#include <chrono>
#include <utility>

#include "sim/world.h"

namespace station {

namespace {

// Delays of the telephone network on the real clock: short, so that a
// central under test does not wait long for a call.
sim::ModemTiming FastTiming() { return {2000, 2000, 3000, 1000}; }

sim::ModemProfile FarProfile(const RunOptions& options) {
    sim::ModemProfile profile;
    profile.autoAnswerRings = options.autoAnswer ? 1 : 0;
    return profile;
}

}  // namespace

void DirectLine::FromFar(sim::WorldLock& lock, const std::vector<uint8_t>& bytes) {
    lastByteMs_ = sim::NowMsLocked(lock);
    if (connection_) {
        connection_->SendToDriver(lock, bytes.data(), bytes.size());
        return;
    }
    // What comes before the call stands is lost, as on a line being
    // answered; the central sends it again.
    if (!calling_) {
        calling_ = true;
        station_.Ring(lock, *this, 10);
    }
}

void DirectLine::Tick(sim::WorldLock& lock) {
    if (connection_ && sim::NowMsLocked(lock) - lastByteMs_ > silenceMs_) {
        sim::Connection* connection = connection_;
        connection_ = nullptr;
        connection->HangUp(lock);
    }
}

void DirectLine::Connected(sim::WorldLock& lock, sim::Connection& connection) {
    connection_ = &connection;
    lastByteMs_ = sim::NowMsLocked(lock);
}

void DirectLine::FromDriver(sim::WorldLock& lock, const uint8_t* data, size_t size) {
    lastByteMs_ = sim::NowMsLocked(lock);
    outgoing_.insert(outgoing_.end(), data, data + size);
}

void DirectLine::Disconnected(sim::WorldLock&) {
    connection_ = nullptr;
    calling_ = false;
}

Exchange::Exchange(const RunOptions& options)
    : stationLine_(sim::CreateLine("SIM1")),
      stationModem_(stationLine_, {}, FastTiming()),
      farLine_(sim::CreateLine("FAR")),
      farModem_(farLine_, FarProfile(options), FastTiming()),
      toStation_(stationModem_),
      toFar_(farModem_),
      direct_(stationModem_, int64_t{options.silenceSeconds} * 1000),
      directMode_(options.direct) {
    farModem_.RegisterAnyNumber(&toStation_);
    stationModem_.RegisterAnyNumber(directMode_ ? static_cast<sim::Party*>(&direct_) : &toFar_);
}

void Exchange::FromPort(const std::vector<uint8_t>& bytes) {
    sim::WorldLock lock(sim::WorldMutex());
    if (directMode_) {
        direct_.FromFar(lock, bytes);
    } else {
        farModem_.FromPort(lock, bytes.data(), bytes.size());
    }
    sim::Notify(lock);
}

void Exchange::PortClosed() {
    if (directMode_ || farModem_.State() == sim::ModemState::Command) return;
    sim::WorldLock lock(sim::WorldMutex());
    farModem_.DtrChanged(lock, false);
    farModem_.DtrChanged(lock, true);
}

std::vector<uint8_t> Exchange::ToPort() {
    sim::WorldLock lock(sim::WorldMutex());
    if (directMode_) {
        direct_.Tick(lock);
        return direct_.TakeOutgoing();
    }
    farModem_.Poll(lock);
    std::vector<uint8_t> bytes(farLine_.toPort.begin(), farLine_.toPort.end());
    farLine_.toPort.clear();
    return bytes;
}

bool Exchange::Carrier() {
    if (!directMode_) return farModem_.Carrier();
    sim::WorldLock lock(sim::WorldMutex());
    return direct_.InCall();
}

void Pump::CaptureLineState(tools::PortRead read) {
    if (capture_ == nullptr) return;
    const bool open = read != tools::PortRead::Closed;
    if (portDtr_ && open != portOpen_) capture_->Event(open ? LineEvent::kDtrRaised : LineEvent::kDtrDropped);
    portOpen_ = open;
    const bool carrier = exchange_.Carrier();
    if (carrier != carrier_) capture_->Event(carrier ? LineEvent::kCarrierUp : LineEvent::kCarrierDown);
    carrier_ = carrier;
}

void Pump::Run() {
    bool closed = false;
    std::vector<uint8_t> bytes;
    while (!stop_.load()) {
        const tools::PortRead read = port_.Read(&bytes, 10);
        CaptureLineState(read);
        if (read == tools::PortRead::Data) {
            closed = false;
            requests_.Feed(bytes.data(), bytes.size());
            if (capture_) capture_->Bytes(false, bytes.data(), bytes.size());
            exchange_.FromPort(bytes);
        } else if (read == tools::PortRead::Closed) {
            if (!closed) exchange_.PortClosed();
            closed = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const std::vector<uint8_t> out = exchange_.ToPort();
        if (!out.empty()) {
            if (capture_) capture_->Bytes(true, out.data(), out.size());
            port_.Write(out);
        }
    }
}

}  // namespace station
