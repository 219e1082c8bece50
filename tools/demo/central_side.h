// The demo's central station side of the link: each request and response
// with its time, frame tag and body, as transcript lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/central.h"
#include "sim/central_online.h"
#include "tools/demo/log_watch.h"

namespace demo {

class CentralSide {
public:
    CentralSide(sim::CentralStation& central, LogWatch& watch) : central_(central), watch_(watch) {}

    bool Ask(const char* what, const sim::Bytes& body);
    // Identifies the station, sets its clock, and hangs up.
    bool Poll();
    // Identifies the station and sets its clock; then collects on-line gate
    // changes with a remote write in between, and the history written since
    // `historyFrom`; then hangs up.
    bool PollWithData(uint32_t historyFrom);
    void Note(const std::string& text) { Add("---- " + text); }
    std::vector<Entry> entries;

private:
    bool Identify();
    bool PollOnline();
    bool CollectHistory(uint32_t historyFrom);
    bool ShowChanges(const std::string& what, const std::optional<sim::OnlineAnswer>& answer,
                     const sim::OnlinePoller& online);
    bool Failed(const std::string& what, const std::string& why);
    void Add(const std::string& text);

    sim::CentralStation& central_;
    LogWatch& watch_;
};

}  // namespace demo
