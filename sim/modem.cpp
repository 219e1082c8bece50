#include "sim/modem.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <future>

namespace sim {
namespace {

constexpr size_t kMaxCommandLine = 255;
constexpr uint8_t kCr = '\r';
constexpr uint8_t kLf = '\n';
constexpr uint8_t kBackspace = 8;

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

// The digits that select a line; punctuation and dial modifiers do not.
std::string DialDigits(const std::string& dial) {
    std::string digits;
    for (char c : dial) {
        if (c == ';') break;
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '*' || c == '#') digits.push_back(c);
    }
    return digits;
}

bool InCall(ModemState state) { return state == ModemState::Data || state == ModemState::OnlineCommand; }

}  // namespace

Modem::Modem(Line& line, const ModemProfile& profile, const ModemTiming& timing)
    : line_(line), profile_(profile), timing_(timing) {
    ApplyProfile();
    {
        WorldLock lock(WorldMutex());
        line_.peer = this;
    }
    // The clock must count the modem's thread before it can move past any of
    // the modem's deadlines.
    std::promise<void> joined;
    std::future<void> ready = joined.get_future();
    clock_ = std::thread([this, joined = std::move(joined)]() mutable {
        JoinClock();
        joined.set_value();
        Run();
        LeaveClock();
    });
    ready.wait();
}

Modem::~Modem() {
    {
        WorldLock lock(WorldMutex());
        if (line_.peer == this) line_.peer = nullptr;
        stop_ = true;
        Changed(lock);
    }
    clock_.join();
}

void Modem::Run() {
    WorldLock lock(WorldMutex());
    while (!stop_) {
        CatchUp(lock);
        const uint64_t seen = generation_;
        WaitUntil(lock, [&] { return stop_ || generation_ != seen; }, NextDeadline());
    }
}

void Modem::Changed(WorldLock& lock) {
    ++generation_;
    Notify(lock);
}

int64_t Modem::NextDeadline() const {
    return std::min({escapeDueMs_, dialDueMs_, answerDueMs_, incoming_.party ? incoming_.nextRingMs : kForever});
}

void Modem::CatchUp(WorldLock& lock) {
    const int64_t now = NowMsLocked(lock);
    bool any = false;
    for (int64_t next = NextDeadline(); next <= now; next = NextDeadline()) {
        any = true;
        if (next == escapeDueMs_) {
            escapeDueMs_ = kForever;
            plusCount_ = 0;
            state_ = ModemState::OnlineCommand;
            lineBuffer_.clear();
            Record(now, ModemEventKind::Escape, "+++", Send(lock, ResultText(Result::Ok)));
        } else if (next == dialDueMs_) {
            dialDueMs_ = kForever;
            DialDone(lock);
        } else if (next == answerDueMs_) {
            answerDueMs_ = kForever;
            AnswerDone(lock);
        } else {
            RingNow(lock);
        }
    }
    if (any) Changed(lock);
}

void Modem::ApplyProfile() {
    echo_ = profile_.echo;
    verbose_ = profile_.verbose;
    quiet_ = profile_.quiet;
    dtrDropHangsUp_ = profile_.dtrDropHangsUp;
    std::fill(std::begin(s_), std::end(s_), uint8_t{0});
    s_[0] = profile_.autoAnswerRings;
    s_[2] = '+';
    s_[3] = kCr;
    s_[4] = kLf;
    s_[5] = kBackspace;
    s_[7] = profile_.carrierWaitSeconds;
    s_[12] = profile_.guardFiftieths;
}

// --- the port's side -------------------------------------------------------

void Modem::FromPort(WorldLock& lock, const uint8_t* data, size_t size) {
    CatchUp(lock);
    if (faults_.dead) return;
    if (state_ == ModemState::Data) {
        DataBytes(lock, data, size);
    } else {
        CommandBytes(lock, data, size);
    }
    Changed(lock);
}

void Modem::CommandBytes(WorldLock& lock, const uint8_t* data, size_t size) {
    std::string echo;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t byte = data[i];
        if (state_ == ModemState::Dialing || state_ == ModemState::Answering) {
            // A key typed while the call is being set up abandons it, and is lost.
            EndCall(lock, "aborted", Result::NoCarrier);
            continue;
        }
        if (state_ == ModemState::Data) {  // ATO put the modem back on line
            Send(lock, echo);
            DataBytes(lock, data + i, size - i);
            return;
        }
        if (echo_) echo.push_back(static_cast<char>(byte));
        if (byte == kCr) {
            Send(lock, echo);
            echo.clear();
            std::string line;
            line.swap(lineBuffer_);
            for (size_t at = 0; at + 1 < line.size(); ++at) {
                if (Upper(line[at]) == 'A' && Upper(line[at + 1]) == 'T') {
                    Execute(lock, line.substr(at));
                    break;
                }
            }
        } else if (byte == kBackspace) {
            if (!lineBuffer_.empty()) lineBuffer_.pop_back();
        } else if (byte != kLf && lineBuffer_.size() < kMaxCommandLine) {
            lineBuffer_.push_back(static_cast<char>(byte));
        }
    }
    Send(lock, echo);
}

void Modem::DataBytes(WorldLock& lock, const uint8_t* data, size_t size) {
    const int64_t now = NowMsLocked(lock);
    const int64_t guard = int64_t{s_[12]} * 20;
    for (size_t i = 0; i < size; ++i) {
        const bool plus = data[i] == s_[2] && s_[2] < 128;
        const bool quietBefore = plusCount_ == 0 ? now - lastPortByteMs_ >= guard : now - lastPlusMs_ < guard;
        if (plus && plusCount_ < 3 && quietBefore) {
            ++plusCount_;
            lastPlusMs_ = now;
        } else {
            plusCount_ = 0;
        }
        lastPortByteMs_ = now;
    }
    escapeDueMs_ = plusCount_ == 3 ? now + guard : kForever;
    if (party_) party_->FromDriver(lock, data, size);
}

void Modem::DtrChanged(WorldLock& lock, bool dtr) {
    CatchUp(lock);
    dtr_ = dtr;
    if (faults_.dead) return;
    Record(NowMsLocked(lock), dtr ? ModemEventKind::DtrHigh : ModemEventKind::DtrLow, "");
    if (!dtr && dtrDropHangsUp_ && state_ != ModemState::Command) EndCall(lock, "DTR", Result::NoCarrier);
    Changed(lock);
}

bool Modem::CarrierDetect(const WorldLock&) { return !faults_.dead && InCall(state_); }

void Modem::Poll(WorldLock& lock) { CatchUp(lock); }

// --- commands --------------------------------------------------------------

std::string Modem::Execute(WorldLock& lock, const std::string& line) {
    const int64_t now = NowMsLocked(lock);
    const size_t entry = transcript_.size();
    Record(now, ModemEventKind::Command, line);
    if (faults_.errorReplies) return transcript_[entry].reply = Send(lock, ResultText(Result::Error));

    std::string body;
    for (size_t i = 2; i < line.size(); ++i) {
        if (line[i] != ' ') body.push_back(Upper(line[i]));
    }
    size_t i = 0;
    auto number = [&] {
        int value = 0;
        while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i]))) {
            value = std::min(value * 10 + (body[i++] - '0'), 100000);
        }
        return value;
    };
    auto flag = [&](bool* target) {
        const int value = number();
        if (value > 1) return false;
        *target = value == 1;
        return true;
    };

    Result result = Result::Ok;
    bool pending = false;  // the result comes later (dial, answer)
    std::string info;
    while (i < body.size() && result == Result::Ok && !pending) {
        const char command = body[i++];
        switch (command) {
            case 'A':
                if (InCall(state_)) {
                    result = Result::Error;
                } else if (incoming_.party) {
                    StartAnswer(lock);
                    pending = true;
                } else {
                    result = Result::NoCarrier;
                }
                break;
            case 'D':
                if (InCall(state_)) {
                    result = Result::Error;
                    break;
                }
                StartDial(lock, body.substr(i));
                i = body.size();
                pending = true;
                break;
            case 'E':
                if (!flag(&echo_)) result = Result::Error;
                break;
            case 'Q':
                if (!flag(&quiet_)) result = Result::Error;
                break;
            case 'V':
                if (!flag(&verbose_)) result = Result::Error;
                break;
            case 'H': {
                const int value = number();
                if (value > 1) {
                    result = Result::Error;
                } else if (value == 0 && InCall(state_)) {
                    EndCall(lock, "ATH", Result::Ok);
                }
                break;
            }
            case 'Z':
                number();
                if (InCall(state_)) EndCall(lock, "ATZ", Result::Ok);
                ApplyProfile();
                break;
            case 'O':
                number();
                if (state_ == ModemState::OnlineCommand) {
                    state_ = ModemState::Data;
                    lastPortByteMs_ = now;
                    plusCount_ = 0;
                    result = Result::Connect;
                } else {
                    result = Result::Error;
                }
                break;
            case 'I':
            case 'L':
            case 'M':
            case 'X':
                number();
                break;
            case 'S': {
                const int reg = number();
                if (reg > 255 || i >= body.size()) {
                    result = Result::Error;
                } else if (body[i] == '=') {
                    ++i;
                    const int value = number();
                    if (value > 255) {
                        result = Result::Error;
                    } else {
                        s_[reg] = static_cast<uint8_t>(value);
                    }
                } else if (body[i] == '?') {
                    ++i;
                    char text[16];
                    std::snprintf(text, sizeof text, verbose_ ? "\r\n%03u\r\n" : "%03u\r\n", unsigned{s_[reg]});
                    info += text;
                } else {
                    result = Result::Error;
                }
                break;
            }
            case '&': {
                if (i >= body.size()) {
                    result = Result::Error;
                    break;
                }
                const char what = body[i++];
                const int value = number();
                if (what == 'F') {
                    ApplyProfile();
                } else if (what == 'D') {
                    dtrDropHangsUp_ = value >= 2;
                } else if (what != 'C' && what != 'K' && what != 'W') {
                    result = Result::Error;
                }
                break;
            }
            default:
                result = Result::Error;
                break;
        }
    }
    std::string reply = Send(lock, info);
    if (!pending) reply += Send(lock, ResultText(result));
    transcript_[entry].reply = reply;
    return reply;
}

std::string Modem::ResultText(Result result) const {
    if (quiet_) return {};
    static const char* const kWords[] = {"OK", "CONNECT", "RING", "NO CARRIER", "ERROR", "BUSY"};
    static const char* const kDigits[] = {"0", "1", "2", "3", "4", "7"};
    const auto index = static_cast<size_t>(result);
    if (!verbose_) return std::string(kDigits[index]) + "\r";
    return std::string("\r\n") + kWords[index] + "\r\n";
}

std::string Modem::Send(WorldLock& lock, const std::string& text) {
    if (!text.empty()) SendToPort(lock, line_, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return text;
}

void Modem::Record(int64_t timeMs, ModemEventKind kind, const std::string& text, const std::string& reply) {
    transcript_.push_back({timeMs, kind, text, reply});
}

// --- calls -----------------------------------------------------------------

void Modem::StartDial(WorldLock& lock, const std::string& dialString) {
    const int64_t now = NowMsLocked(lock);
    dialed_ = DialDigits(dialString);
    const auto found = numbers_.find(dialed_);
    const Entry entry = found != numbers_.end() ? found->second : Entry{anyNumber_, DialAnswer::Answer};
    dialAnswer_ = entry.party || entry.answer != DialAnswer::Answer ? entry.answer : DialAnswer::NoAnswer;
    party_ = dialAnswer_ == DialAnswer::Answer ? entry.party : nullptr;
    switch (dialAnswer_) {
        case DialAnswer::Answer:
            dialDueMs_ = now + timing_.connectMs;
            break;
        case DialAnswer::Busy:
            dialDueMs_ = now + timing_.busyMs;
            break;
        case DialAnswer::NoAnswer:
            dialDueMs_ = now + int64_t{s_[7]} * 1000;
            break;
    }
    state_ = ModemState::Dialing;
}

void Modem::DialDone(WorldLock& lock) {
    const int64_t now = NowMsLocked(lock);
    if (dialAnswer_ == DialAnswer::Answer) {
        GoOnLine(lock, party_, dialed_);
        return;
    }
    state_ = ModemState::Command;
    party_ = nullptr;
    if (dialAnswer_ == DialAnswer::Busy) {
        Record(now, ModemEventKind::Busy, dialed_, Send(lock, ResultText(Result::Busy)));
    } else {
        Record(now, ModemEventKind::NoCarrier, dialed_, Send(lock, ResultText(Result::NoCarrier)));
    }
}

void Modem::RingNow(WorldLock& lock) {
    const int64_t now = NowMsLocked(lock);
    if (state_ != ModemState::Command || incoming_.rings >= incoming_.maxRings) {
        CallerGivesUp(lock);
        return;
    }
    ++incoming_.rings;
    const std::string reply = faults_.dead ? std::string() : Send(lock, ResultText(Result::Ring));
    Record(now, ModemEventKind::Ring, std::to_string(incoming_.rings), reply);
    if (!faults_.dead && dtr_ && s_[0] > 0 && incoming_.rings >= s_[0]) {
        StartAnswer(lock);
        return;
    }
    incoming_.nextRingMs += timing_.ringPeriodMs;
}

void Modem::StartAnswer(WorldLock& lock) {
    party_ = incoming_.party;
    incoming_ = {};
    state_ = ModemState::Answering;
    answerDueMs_ = NowMsLocked(lock) + timing_.answerMs;
}

void Modem::AnswerDone(WorldLock& lock) { GoOnLine(lock, party_, "incoming"); }

void Modem::GoOnLine(WorldLock& lock, Party* party, const std::string& who) {
    state_ = ModemState::Data;
    dialDueMs_ = kForever;
    answerDueMs_ = kForever;
    lineBuffer_.clear();
    lastPortByteMs_ = NowMsLocked(lock);
    plusCount_ = 0;
    party_ = party;
    Record(NowMsLocked(lock), ModemEventKind::Connect, who, Send(lock, ResultText(Result::Connect)));
    Notify(lock);
    if (party) party->Connected(lock, *this);
}

void Modem::EndCall(WorldLock& lock, const std::string& how, Result result) {
    const ModemState was = state_;
    Party* party = party_;
    state_ = ModemState::Command;
    party_ = nullptr;
    dialDueMs_ = kForever;
    answerDueMs_ = kForever;
    escapeDueMs_ = kForever;
    plusCount_ = 0;
    lineBuffer_.clear();
    const std::string reply = result == Result::Ok ? std::string() : Send(lock, ResultText(result));
    Record(NowMsLocked(lock), was == ModemState::Dialing ? ModemEventKind::NoCarrier : ModemEventKind::HangUp, how,
           reply);
    Notify(lock);
    // A party that was dialled never heard of the call; a caller did.
    if (party && was != ModemState::Dialing) party->Disconnected(lock);
}

void Modem::CallerGivesUp(WorldLock& lock) {
    Party* caller = incoming_.party;
    incoming_ = {};
    Record(NowMsLocked(lock), ModemEventKind::CallerGaveUp, "");
    if (caller) caller->Disconnected(lock);
}

// --- the party's side ------------------------------------------------------

void Modem::SendToDriver(WorldLock& lock, const uint8_t* data, size_t size) {
    CatchUp(lock);
    // Bytes from the far end are lost while the modem takes commands.
    if (!faults_.dead && state_ == ModemState::Data) SendToPort(lock, line_, data, size);
}

void Modem::HangUp(WorldLock& lock) {
    CatchUp(lock);
    if (state_ != ModemState::Command) EndCall(lock, "party", Result::NoCarrier);
    Changed(lock);
}

// --- test controls ---------------------------------------------------------

void Modem::Register(const std::string& number, Party* party, DialAnswer answer) {
    WorldLock lock(WorldMutex());
    numbers_[DialDigits(number)] = {party, answer};
}

void Modem::RegisterAnyNumber(Party* party) {
    WorldLock lock(WorldMutex());
    anyNumber_ = party;
}

void Modem::Unregister(const std::string& number) {
    WorldLock lock(WorldMutex());
    numbers_.erase(DialDigits(number));
}

void Modem::Ring(Party& caller, int maxRings) {
    WorldLock lock(WorldMutex());
    Ring(lock, caller, maxRings);
}

void Modem::Ring(WorldLock& lock, Party& caller, int maxRings) {
    CatchUp(lock);
    if (state_ != ModemState::Command || incoming_.party) {
        Record(NowMsLocked(lock), ModemEventKind::CallRefused, "");
        caller.Disconnected(lock);
        return;
    }
    incoming_ = {&caller, 0, maxRings, NowMsLocked(lock)};
    CatchUp(lock);
    Changed(lock);
}

void Modem::DropCarrier() {
    WorldLock lock(WorldMutex());
    DropCarrier(lock);
}

void Modem::DropCarrier(WorldLock& lock) {
    CatchUp(lock);
    if (state_ != ModemState::Command) EndCall(lock, "line lost", Result::NoCarrier);
    Changed(lock);
}

void Modem::SetFaults(const ModemFaults& faults) {
    WorldLock lock(WorldMutex());
    CatchUp(lock);
    faults_ = faults;
    if (faults_.dead && state_ != ModemState::Command) EndCall(lock, "switched off", Result::Ok);
    Changed(lock);
}

void Modem::Restart() {
    WorldLock lock(WorldMutex());
    CatchUp(lock);
    if (state_ != ModemState::Command) EndCall(lock, "switched off", Result::Ok);
    lineBuffer_.clear();
    ApplyProfile();
    Changed(lock);
}

void Modem::SetTiming(const ModemTiming& timing) {
    WorldLock lock(WorldMutex());
    timing_ = timing;
    Changed(lock);
}

void Modem::SetProfile(const ModemProfile& profile) {
    WorldLock lock(WorldMutex());
    profile_ = profile;
    ApplyProfile();
    Changed(lock);
}

ModemState Modem::State() {
    WorldLock lock(WorldMutex());
    CatchUp(lock);
    return state_;
}

bool Modem::Carrier() {
    WorldLock lock(WorldMutex());
    CatchUp(lock);
    return CarrierDetect(lock);
}

bool Modem::Echo() {
    WorldLock lock(WorldMutex());
    return echo_;
}

int Modem::SRegister(int n) {
    WorldLock lock(WorldMutex());
    if (n < 0 || n > 255) return -1;
    return s_[n];
}

std::vector<ModemEvent> Modem::Transcript() {
    WorldLock lock(WorldMutex());
    CatchUp(lock);
    return transcript_;
}

std::vector<std::string> Modem::Commands() {
    WorldLock lock(WorldMutex());
    std::vector<std::string> commands;
    for (const ModemEvent& event : transcript_) {
        if (event.kind == ModemEventKind::Command) commands.push_back(event.text);
    }
    return commands;
}

}  // namespace sim
