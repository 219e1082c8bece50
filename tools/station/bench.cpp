#include "tools/station/bench.h"

#include "sim/line.h"
#include "sim/modem.h"

namespace station {

namespace {

// Where a stretch stands at nowMs: 0 before it, 1 within, 2 after it.
int StretchPhase(const Stretch& stretch, int64_t nowMs) {
    if (stretch.from < 0 || nowMs < stretch.from * 1000) return 0;
    return nowMs < stretch.to * 1000 ? 1 : 2;
}

}  // namespace

void BenchFaults::Tick(int64_t nowMs, const std::string& typed) {
    if (typed.find_first_of("mM") != std::string::npos) SetModemSilent(!modemSilent_);
    if (typed.find_first_of("pP") != std::string::npos) SetPortAway(!portAway_);
    // Each end of a stretch acts once, when it is reached.
    for (int phase = StretchPhase(options_.modemSilent, nowMs); modemStretch_ < phase;) {
        SetModemSilent(++modemStretch_ == 1);
    }
    for (int phase = StretchPhase(options_.portAway, nowMs); portStretch_ < phase;) {
        SetPortAway(++portStretch_ == 1);
    }
}

void BenchFaults::SetModemSilent(bool silent) {
    modemSilent_ = silent;
    exchange_.stationModem().SetFaults({.dead = silent, .errorReplies = false});
    transcript_.Line("bench", silent ? "station modem stops answering (m: answers again)"
                                     : "station modem answers again");
}

void BenchFaults::SetPortAway(bool away) {
    portAway_ = away;
    sim::SetDevicePresent(exchange_.stationLine(), !away);
    transcript_.Line("bench", away ? "station port's device gone, as a USB adapter pulled out (p: back)"
                                   : "station port's device back");
}

}  // namespace station
