#include "tools/central/session.h"

#include <atomic>

#include "common/byte_order.h"
#include "platform/time.h"
#include "tools/central/codecs.h"
#include "tools/shared/civil_time.h"
#include "tools/shared/frame_text.h"
#include "tools/shared/text.h"

namespace central {

using tools::Format;
using tools::Plural;
using tools::RequestName;

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "RequestStop runs in a signal handler");

void AppendLe16(Bytes* body, uint16_t value) {
    body->resize(body->size() + 2);
    PutLe16(&*(body->end() - 2), value);
}

void AppendLe32(Bytes* body, uint32_t value) {
    body->resize(body->size() + 4);
    PutLe32(&*(body->end() - 4), value);
}

}  // namespace

void RequestStop() { stopRequested.store(true); }
bool StopRequested() { return stopRequested.load(); }
void ClearStop() { stopRequested.store(false); }

int Session::Run(const Command& command, bool* fatal) {
    if (StopRequested()) return kExitInterrupted;
    switch (command.kind) {
        case Command::Station: return Station(fatal);
        case Command::Clock: return Clock(command, fatal);
        case Command::Online: return Online(command, fatal);
        case Command::History: return History(command, fatal);
        case Command::HangUp: return HangUp(fatal);
    }
    return kExitUsage;
}

int Session::EndCall() {
    bool fatal = false;
    return HangUp(&fatal);
}

// An error never continues a progress line.
std::ostream& Session::Error() {
    if (progressShown_) err_ << '\n';
    progressShown_ = false;
    return err_ << "teldrv-central: ";
}

// One request; on failure says why and gives the exit code.
int Session::Ask(const Bytes& request, Bytes* response, bool* fatal) {
    const AskResult result = link_.Ask(request, response);
    if (result == AskResult::Ok && (*response)[0] == '@') {
        Error() << RequestName(request[0]) << ": rejected by the station\n";
        return kExitRejected;
    }
    if (result == AskResult::Ok) return kExitOk;
    if (result == AskResult::Stopped) return kExitInterrupted;
    *fatal = true;
    callUp_ = false;
    if (result == AskResult::NoCarrier) {
        Error() << RequestName(request[0]) << ": carrier lost\n";
        return kExitNoCarrier;
    }
    if (result == AskResult::NoAnswer) {
        Error() << RequestName(request[0]) << ": no answer from the station after " << Sends() << '\n';
    } else {
        Error() << RequestName(request[0]) << ": " << link_.error() << " (after " << Sends() << ")\n";
    }
    if (link_.noiseBytes() > 0) {
        Error() << Plural(link_.noiseBytes(), "byte", "bytes")
                << " came where a frame was expected: likely a line-settings mismatch; check --baud, --data, "
                   "--parity and --stop against the station's port (--trace shows the bytes)\n";
    }
    return result == AskResult::NoAnswer ? kExitNoAnswer : kExitBadFrame;
}

std::string Session::Sends() const { return Plural(static_cast<size_t>(link_.sends()), "send", "sends"); }

std::string Session::GateName(uint16_t gate) const {
    const auto found = gates_.find(gate);
    return found == gates_.end() ? std::string() : found->second.name;
}

int Session::Station(bool* fatal) {
    Bytes response;
    const int code = Ask({'S'}, &response, fatal);
    if (code != kExitOk) return code;
    if (response.size() != 4) {
        Error() << "FE_REQ_STATION: answer of " << response.size() << " bytes\n";
        return kExitBadFrame;
    }
    out_ << "station " << static_cast<unsigned>(response[1]) << '\n';
    if (gatesStation_ && *gatesStation_ != response[1]) {
        Error() << "station " << unsigned{response[1]} << " answered, but " << options_.gatesFile
                << " is the gate file of station " << *gatesStation_
                << ": no further command runs, so no gate is named or written wrongly; give the gate file of "
                   "station "
                << unsigned{response[1]} << ", or leave --gates out\n";
        return kExitWrongStation;
    }
    return kExitOk;
}

int Session::Clock(const Command& command, bool* fatal) {
    const int64_t seconds = command.time ? *command.time : platform::CalendarTime();
    const tools::Civil civil = tools::CivilFromSeconds(seconds);
    Bytes request{'C'};
    for (uint64_t field : {static_cast<uint64_t>(civil.year), uint64_t{civil.month}, uint64_t{civil.weekday},
                           uint64_t{civil.day}, uint64_t{civil.hour}, uint64_t{civil.minute},
                           uint64_t{civil.second}, uint64_t{0}}) {
        AppendLe16(&request, static_cast<uint16_t>(field));
    }
    Bytes response;
    const int code = Ask(request, &response, fatal);
    if (code != kExitOk) return code;
    out_ << "clock set to " << FormatTime(seconds) << '\n';
    return kExitOk;
}

int Session::Online(const Command& command, bool* fatal) {
    Bytes response;
    int code = Ask({'O'}, &response, fatal);
    if (code != kExitOk) return code;
    if (response.size() != 2 || response[1] != 0) {
        Error() << "FE_REQ_START_ONLINE: the station could not start on-line transfer (status "
                << (response.size() > 1 ? unsigned{response[1]} : 0u) << ")\n";
        return kExitRejected;
    }
    std::ostream* csv = command.csvFile.empty() ? nullptr : &csvFiles_.at(command.csvFile);
    out_ << Format("%5s  %-20s  %14s  %6s  %s", "gate", "name", "value", "status", "time") << '\n';
    const uint64_t start = platform::MonotonicMs();
    const uint64_t end = start + uint64_t{command.seconds} * 1000;
    const uint64_t writeAt = start + uint64_t{command.seconds} * 500;
    bool writePending = command.write.has_value();
    int result = kExitOk;
    size_t changes = 0;
    while (!StopRequested()) {
        Bytes request{'M', link_.NextSequence()};
        const bool withWrite = writePending && platform::MonotonicMs() >= writeAt;
        if (withWrite) AddWrite(*command.write, &request);
        writePending = writePending && !withWrite;
        code = Ask(request, &response, fatal);
        if (code != kExitOk) return code;
        const size_t offset = withWrite ? 3 : 2;
        if (response.size() < offset || (response.size() - offset) % 16 != 0) {
            Error() << "FE_REQ_CONT_ONLINE: answer of " << response.size() << " bytes\n";
            *fatal = true;
            return kExitBadFrame;
        }
        if (withWrite) ReportWrite(*command.write, response[2]);
        if (withWrite && response[2] != 0) result = kExitRejected;
        const size_t count = (response.size() - offset) / 16;
        for (size_t i = 0; i < count; ++i) PrintChange(&response[offset + 16 * i], csv);
        if (csv) csv->flush();
        changes += count;
        // The change a write raises comes with a later poll.
        if (platform::MonotonicMs() >= end && !writePending && !withWrite) break;
        // A full answer means more are waiting.
        if (count < 64) platform::Sleep(options_.pollMs);
    }
    out_ << Plural(changes, "change", "changes") << (csv ? " written to " + command.csvFile : "") << '\n';
    return StopRequested() ? kExitInterrupted : result;
}

void Session::PrintChange(const uint8_t* record, std::ostream* csv) {
    const uint16_t word = Le16(record);
    const uint16_t gate = word & 0x7FFF;
    // A status change carries no value; one that clears the flag looks
    // like a value change to 0 on the wire.
    const std::string value = (word & 0x8000) ? "-" : FormatValue(LeDouble(record + 2));
    const std::string status = (word & 0x8000) ? "1" : "0";
    const uint32_t time = Le32(record + 10);
    const unsigned ms = Le16(record + 14);
    out_ << Format("%5u  %-20s  %14s  %6s  %s", gate, GateName(gate).c_str(), value.c_str(), status.c_str(),
                   (FormatTime(time).insert(19, Format(".%03u", ms % 1000))).c_str())
         << '\n';
    if (csv) {
        *csv << gate << ',' << GateName(gate) << ',' << FormatTime(time) << ',' << ms << ',' << status << ','
             << ((word & 0x8000) ? "" : value) << ',' << Hex(record, 16) << '\n';
    }
}

// The 8-byte poll that carries the write.
void Session::AddWrite(const WriteRequest& write, Bytes* request) {
    const auto found = gates_.find(write.gate);
    const std::optional<uint8_t> type = found == gates_.end() ? std::nullopt : found->second.valueType;
    uint8_t value[4];
    std::string unused;
    EncodeWriteValue(write.value, type, value, &unused);  // checked before dialling
    AppendLe16(request, write.gate);
    request->insert(request->end(), value, value + 4);
}

void Session::ReportWrite(const WriteRequest& write, uint8_t status) {
    const std::string name = GateName(write.gate);
    const auto found = gates_.find(write.gate);
    const bool ignored = found != gates_.end() && StationIgnoresWrite(found->second.valueType);
    out_ << "write gate " << write.gate << (name.empty() ? "" : " " + name) << " = " << write.value << ": status "
         << unsigned{status}
         << (status == 0 ? (ignored ? " (not written by the station)" : " (taken)")
                         : status == 128 ? " (no such gate)" : " (refused)")
         << '\n';
}

int Session::History(const Command& command, bool* fatal) {
    const uint32_t since = static_cast<uint32_t>(command.time.value_or(platform::CalendarTime()));
    Bytes request{'H'};
    AppendLe32(&request, since);
    Bytes response;
    const int code = Ask(request, &response, fatal);
    if (code != kExitOk) return code;
    if (response.size() != 2 || response[1] != 0) {
        Error() << "FE_REQ_START_HISTORY: the station could not open its history (status "
                << (response.size() > 1 ? unsigned{response[1]} : 0u) << ")\n";
        return kExitRejected;
    }
    std::ostream& csv = options_.csvFile.empty() ? stdoutCsv_ : csvFiles_.at(options_.csvFile);
    if (options_.csvFile.empty()) csv << kCsvHeader;
    lastRecord_.reset();
    size_t records = 0;
    const int pulled = PullHistory(csv, &records, fatal);
    const std::string where = options_.csvFile.empty() ? "" : " written to " + options_.csvFile;
    if (pulled == kExitOk) {
        out_ << "history since " << FormatTime(since) << ": " << Plural(records, "record", "records") << where << '\n';
        return kExitOk;
    }
    Error() << "history since " << FormatTime(since) << " incomplete"
            << (pulled == kExitInterrupted ? " (interrupted)" : "") << ": " << Plural(records, "record", "records")
            << where << "; resume with: history --since " << FormatTime(lastRecord_.value_or(since)) << '\n';
    return pulled;
}

// One FE_REQ_CONT_HISTORY after the other until the window is empty.
int Session::PullHistory(std::ostream& csv, size_t* records, bool* fatal) {
    const uint64_t startMs = platform::MonotonicMs();
    int answers = 0;
    Bytes response;
    for (;;) {
        if (StopRequested()) return kExitInterrupted;
        const int code = Ask({'T', link_.NextSequence()}, &response, fatal);
        if (code != kExitOk) return code;
        if (response.size() < 2 || (response.size() - 2) % 18 != 0) {
            Error() << "FE_REQ_CONT_HISTORY: answer of " << response.size() << " bytes\n";
            *fatal = true;
            return kExitBadFrame;
        }
        ++answers;
        const size_t count = (response.size() - 2) / 18;
        WriteRecords(response, count, csv);
        *records += count;
        if (options_.progress) Progress(*records, answers, startMs);
        if (response[1] != 0) {
            Error() << "FE_REQ_CONT_HISTORY: the station could not read its history (status "
                    << static_cast<unsigned>(response[1]) << ")\n";
            return kExitRejected;
        }
        if (count == 0) break;
    }
    if (progressShown_) err_ << '\n';
    progressShown_ = false;
    return kExitOk;
}

// One answer's records as whole CSV lines; the time of the last one.
void Session::WriteRecords(const Bytes& response, size_t count, std::ostream& csv) {
    std::string lines;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* record = &response[2 + 18 * i];
        const uint16_t gate = Le16(record);
        const uint8_t* payload = record + 2;
        lastRecord_ = Le32(payload);
        lines += std::to_string(gate) + ',' + GateName(gate) + ',' + FormatTime(*lastRecord_) + ',' +
                 std::to_string(Le16(payload + 4)) + ',' + std::to_string(Le16(payload + 6)) + ',' +
                 FormatValue(LeDouble(payload + 8)) + ',' + Hex(payload, 16) + '\n';
    }
    csv << lines << std::flush;
}

void Session::Progress(size_t records, int answers, uint64_t startMs) {
    const uint64_t ms = platform::MonotonicMs() - startMs;
    err_ << "\rhistory: " << Plural(records, "record", "records") << " in "
         << Plural(static_cast<size_t>(answers), "answer", "answers")
         << Format(", %llu.%llu s", static_cast<unsigned long long>(ms / 1000),
                   static_cast<unsigned long long>(ms % 1000 / 100))
         << (lastRecord_ ? ", last " + FormatTime(*lastRecord_) : std::string()) << std::flush;
    progressShown_ = true;
}

int Session::HangUp(bool* fatal) {
    Bytes response;
    const int code = Ask({'X'}, &response, fatal);
    if (code != kExitOk) return code;
    out_ << "station hung up\n";
    callUp_ = false;
    *fatal = true;  // the station ends the session
    return kExitOk;
}

}  // namespace central
