// A central station wired straight to a line's port (a null-modem cable with
// a carrier the test switches), for link tests that need no modem dialogue.
#pragma once

#include "sim/line.h"
#include "sim/party.h"

namespace sim {

class SIM_API DirectWire : public LinePeer, public Connection {
public:
    DirectWire(Line& line, Party& party);
    ~DirectWire() override;

    // Raises the carrier and tells the party the connection stands.
    void Connect();
    // Drops the carrier; the party is told the connection is gone.
    void Drop();

    void FromPort(WorldLock& lock, const uint8_t* data, size_t size) override;
    bool CarrierDetect(const WorldLock& lock) override;
    void SendToDriver(WorldLock& lock, const uint8_t* data, size_t size) override;
    void HangUp(WorldLock& lock) override;

private:
    Line& line_;
    Party& party_;
    bool carrier_ = false;
};

}  // namespace sim
