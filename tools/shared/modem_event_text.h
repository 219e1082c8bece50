// One line of transcript for a modem emulator's event, for the tools that
// show a simulated modem's dialogue.
#pragma once

#include <string>

#include "sim/modem.h"

namespace tools {

// A modem reply with its line ends shown as single blanks.
inline std::string Visible(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += c;
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    while (!out.empty() && out.front() == ' ') out.erase(out.begin());
    return out;
}

inline std::string ModemEventText(const sim::ModemEvent& event) {
    using K = sim::ModemEventKind;
    switch (event.kind) {
        case K::Command: return event.text + "  ->  " + Visible(event.reply);
        case K::Escape: return "+++  ->  " + Visible(event.reply);
        case K::DtrLow: return "DTR low";
        case K::DtrHigh: return "DTR high";
        case K::Ring: return "RING " + event.text;
        case K::Connect: return "CONNECT (" + event.text + ")";
        case K::Busy: return "BUSY";
        case K::NoCarrier: return "NO CARRIER";
        case K::HangUp: return "call ended (" + event.text + ")";
        case K::CallerGaveUp: return "caller gave up";
        case K::CallRefused: return "call refused";
    }
    return "?";
}

}  // namespace tools
