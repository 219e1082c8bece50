// What an engineer does to the station's side of the bench, to watch the
// driver look after its modem and its port (MODEM_CHECK_MIN,
// PORT_REOPEN_SEC): the station's modem stops answering and answers again,
// the station's port loses its device and gets it back. A typed 'm' or 'p'
// turns one over; --modem-silent and --port-away set them for a stretch of
// the run.
#pragma once

#include <cstdint>
#include <string>

#include "tools/station/exchange.h"
#include "tools/station/run.h"
#include "tools/station/transcript.h"

namespace station {

class BenchFaults {
public:
    BenchFaults(const RunOptions& options, Exchange& exchange, Transcript& transcript)
        : options_(options), exchange_(exchange), transcript_(transcript) {}
    // `nowMs` from the start; `typed`, the keys typed since the last look.
    void Tick(int64_t nowMs, const std::string& typed);

private:
    void SetModemSilent(bool silent);
    void SetPortAway(bool away);

    const RunOptions& options_;
    Exchange& exchange_;
    Transcript& transcript_;
    bool modemSilent_ = false;
    bool portAway_ = false;
    // How far each stretch has got: 0 not begun, 1 begun, 2 ended.
    int modemStretch_ = 0;
    int portStretch_ = 0;
};

}  // namespace station
