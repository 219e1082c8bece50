#include "tools/central/tool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/error.h"
#include "platform/time.h"
#include "serial/port.h"
#include "tools/shared/gate_file.h"
#include "tools/shared/system.h"
#include "tools/shared/text.h"

namespace central {

namespace {

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<uint64_t>(c - '0');
    }
    if (result > max) return false;
    *value = result;
    return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Civil {
    int64_t year;
    unsigned month, day, hour, minute, second, weekday;
};

Civil CivilFromSeconds(int64_t seconds) {
    const int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const int64_t rest = seconds - days * 86400;
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    Civil civil{};
    civil.day = doy - (153 * mp + 2) / 5 + 1;
    civil.month = mp < 10 ? mp + 3 : mp - 9;
    civil.year = static_cast<int64_t>(yoe) + era * 400 + (civil.month <= 2);
    civil.hour = static_cast<unsigned>(rest / 3600);
    civil.minute = static_cast<unsigned>(rest / 60 % 60);
    civil.second = static_cast<unsigned>(rest % 60);
    civil.weekday = static_cast<unsigned>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
    return civil;
}

void PutLe16(Bytes* body, uint16_t value) {
    body->push_back(static_cast<uint8_t>(value));
    body->push_back(static_cast<uint8_t>(value >> 8));
}

uint32_t Le32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

double LeDouble(const uint8_t* at) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | at[i];
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::string FormatValue(double value) {
    if (std::isnan(value)) return "nan";
    return Format("%.10g", value);
}

std::string Plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

// Value types the station answers 0 to without writing anything.
bool StationIgnoresWrite(std::optional<uint8_t> valueType) { return valueType && *valueType >= 7; }

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "RequestStop runs in a signal handler");

bool AskedToStop() { return stopRequested.load(); }

constexpr const char* kCsvHeader = "gate,name,time,milliseconds,status,value,payload\n";

// What one run of the commands needs.
class Session {
public:
    Session(const ToolOptions& options, Link& link, std::ostream& report, std::ostream& err,
            const std::map<uint16_t, GateInfo>& gates, std::optional<unsigned> gatesStation,
            std::map<std::string, std::ofstream>& csvFiles, std::ostream& stdoutCsv)
        : options_(options), link_(link), out_(report), err_(err), gates_(gates), gatesStation_(gatesStation),
          csvFiles_(csvFiles), stdoutCsv_(stdoutCsv) {}

    // kExitOk, or the code of what failed; `fatal` says the connection is of no further use.
    int Run(const Command& command, bool* fatal) {
        if (AskedToStop()) return kExitInterrupted;
        switch (command.kind) {
            case Command::Station: return Station(fatal);
            case Command::Clock: return Clock(command, fatal);
            case Command::Online: return Online(command, fatal);
            case Command::History: return History(command, fatal);
            case Command::HangUp: return HangUp(fatal);
        }
        return kExitUsage;
    }

    // The station still holds the call: it has not taken FE_REQ_HANG_UP.
    bool callUp() const { return callUp_; }
    // FE_REQ_HANG_UP at the end of the command list or after Ctrl-C.
    int EndCall() {
        bool fatal = false;
        return HangUp(&fatal);
    }

private:
    // An error never continues a progress line.
    std::ostream& Error() {
        if (progressShown_) err_ << '\n';
        progressShown_ = false;
        return err_ << "teldrv-central: ";
    }

    // One request; on failure says why and gives the exit code.
    int Ask(const Bytes& request, Bytes* response, bool* fatal) {
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

    std::string Sends() const { return Plural(static_cast<size_t>(options_.retries + 1), "send", "sends"); }

    std::string GateName(uint16_t gate) const {
        const auto found = gates_.find(gate);
        return found == gates_.end() ? std::string() : found->second.name;
    }

    int Station(bool* fatal) {
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

    int Clock(const Command& command, bool* fatal) {
        const int64_t seconds = command.time ? *command.time : platform::CalendarTime();
        const Civil civil = CivilFromSeconds(seconds);
        Bytes request{'C'};
        for (uint64_t field : {static_cast<uint64_t>(civil.year), uint64_t{civil.month}, uint64_t{civil.weekday},
                               uint64_t{civil.day}, uint64_t{civil.hour}, uint64_t{civil.minute},
                               uint64_t{civil.second}, uint64_t{0}}) {
            PutLe16(&request, static_cast<uint16_t>(field));
        }
        Bytes response;
        const int code = Ask(request, &response, fatal);
        if (code != kExitOk) return code;
        out_ << "clock set to " << FormatTime(seconds) << '\n';
        return kExitOk;
    }

    void PrintChange(const uint8_t* record, std::ostream* csv) {
        const uint16_t word = static_cast<uint16_t>(record[0] | record[1] << 8);
        const uint16_t gate = word & 0x7FFF;
        // A status change carries no value; one that clears the flag looks
        // like a value change to 0 on the wire.
        const std::string value = (word & 0x8000) ? "-" : FormatValue(LeDouble(record + 2));
        const std::string status = (word & 0x8000) ? "1" : "0";
        const uint32_t time = Le32(record + 10);
        const unsigned ms = static_cast<unsigned>(record[14] | record[15] << 8);
        out_ << Format("%5u  %-20s  %14s  %6s  %s", gate, GateName(gate).c_str(), value.c_str(), status.c_str(),
                       (FormatTime(time).insert(19, Format(".%03u", ms % 1000))).c_str())
             << '\n';
        if (csv) {
            *csv << gate << ',' << GateName(gate) << ',' << FormatTime(time) << ',' << ms << ',' << status << ','
                 << ((word & 0x8000) ? "" : value) << ',' << Hex(record, 16) << '\n';
        }
    }

    // The 8-byte poll that carries the write.
    void AddWrite(const WriteSpec& write, Bytes* request) {
        const auto found = gates_.find(write.gate);
        const std::optional<uint8_t> type = found == gates_.end() ? std::nullopt : found->second.valueType;
        uint8_t value[4];
        std::string unused;
        EncodeWriteValue(write.value, type, value, &unused);  // checked before dialling
        PutLe16(request, write.gate);
        request->insert(request->end(), value, value + 4);
    }

    void ReportWrite(const WriteSpec& write, uint8_t status) {
        const std::string name = GateName(write.gate);
        const auto found = gates_.find(write.gate);
        const bool ignored = found != gates_.end() && StationIgnoresWrite(found->second.valueType);
        out_ << "write gate " << write.gate << (name.empty() ? "" : " " + name) << " = " << write.value << ": status "
             << unsigned{status}
             << (status == 0 ? (ignored ? " (not written by the station)" : " (taken)")
                             : status == 128 ? " (no such gate)" : " (refused)")
             << '\n';
    }

    int Online(const Command& command, bool* fatal) {
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
        while (!AskedToStop()) {
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
        return AskedToStop() ? kExitInterrupted : result;
    }

    // One answer's records as whole CSV lines; the time of the last one.
    void WriteRecords(const Bytes& response, size_t count, std::ostream& csv) {
        std::string lines;
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* record = &response[2 + 18 * i];
            const uint16_t gate = static_cast<uint16_t>(record[0] | record[1] << 8);
            const uint8_t* payload = record + 2;
            lastRecord_ = Le32(payload);
            lines += std::to_string(gate) + ',' + GateName(gate) + ',' + FormatTime(*lastRecord_) + ',' +
                     std::to_string(payload[4] | payload[5] << 8) + ',' + std::to_string(payload[6] | payload[7] << 8) +
                     ',' + FormatValue(LeDouble(payload + 8)) + ',' + Hex(payload, 16) + '\n';
        }
        csv << lines << std::flush;
    }

    void Progress(size_t records, int answers, uint64_t startMs) {
        const uint64_t ms = platform::MonotonicMs() - startMs;
        err_ << "\rhistory: " << Plural(records, "record", "records") << " in "
             << Plural(static_cast<size_t>(answers), "answer", "answers")
             << Format(", %llu.%llu s", static_cast<unsigned long long>(ms / 1000),
                       static_cast<unsigned long long>(ms % 1000 / 100))
             << (lastRecord_ ? ", last " + FormatTime(*lastRecord_) : std::string()) << std::flush;
        progressShown_ = true;
    }

    // One FE_REQ_CONT_HISTORY after the other until the window is empty.
    int PullHistory(std::ostream& csv, size_t* records, bool* fatal) {
        const uint64_t startMs = platform::MonotonicMs();
        int answers = 0;
        Bytes response;
        for (;;) {
            if (AskedToStop()) return kExitInterrupted;
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

    int History(const Command& command, bool* fatal) {
        const uint32_t since = static_cast<uint32_t>(command.time.value_or(platform::CalendarTime()));
        Bytes request{'H'};
        for (int i = 0; i < 4; ++i) request.push_back(static_cast<uint8_t>(since >> (8 * i)));
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
            out_ << "history since " << FormatTime(since) << ": " << Plural(records, "record", "records") << where
                 << '\n';
            return kExitOk;
        }
        Error() << "history since " << FormatTime(since) << " incomplete"
                << (pulled == kExitInterrupted ? " (interrupted)" : "") << ": " << Plural(records, "record", "records")
                << where << "; resume with: history --since " << FormatTime(lastRecord_.value_or(since)) << '\n';
        return pulled;
    }

    int HangUp(bool* fatal) {
        Bytes response;
        const int code = Ask({'X'}, &response, fatal);
        if (code != kExitOk) return code;
        out_ << "station hung up\n";
        callUp_ = false;
        *fatal = true;  // the station ends the session
        return kExitOk;
    }

    const ToolOptions& options_;
    Link& link_;
    std::ostream& out_;
    std::ostream& err_;
    const std::map<uint16_t, GateInfo>& gates_;
    std::optional<unsigned> gatesStation_;
    std::map<std::string, std::ofstream>& csvFiles_;
    std::ostream& stdoutCsv_;
    std::optional<int64_t> lastRecord_;
    bool callUp_ = true;
    bool progressShown_ = false;
};

}  // namespace

std::string UsageText() {
    return "usage: teldrv-central PORT [--baud N] [--data 5-8] [--parity none|odd|even|mark|space] [--stop 1|1.5|2]\n"
           "                      [--dial NUMBER] [--ignore-carrier] [--no-hangup] [--gates FILE] [--csv FILE]\n"
           "                      [--trace] [--retries N] [--timeout MS] COMMAND...\n"
           "       teldrv-central --sim --dial NUMBER [--station-dir DIR] [-v] [--station-log FILE] [options] COMMAND...\n"
           "       teldrv-central --help | --version\n"
           "commands, run in order on one connection:\n"
           "  station                       the station's number (and a check that --gates is its gate file)\n"
           "  clock [TIME]                  set the station's clock (default: now, UTC)\n"
           "  online [--seconds N] [--write GATE=VALUE] [--csv FILE]\n"
           "                                on-line changes for N seconds (10), one remote write half-way\n"
           "                                through; GATE is a number or, with --gates, a name\n"
           "  history --since TIME          history records since TIME, as CSV to --csv FILE or stdout\n"
           "  hangup                        end the session (done anyway after the last command,\n"
           "                                unless --no-hangup)\n"
           "TIME: seconds since 1970, 'now', or YYYY-MM-DD[THH:MM[:SS]][Z] (UTC).\n"
           "PORT: a device name (ttyS0 is /dev/ttyS0) or a path. Without --dial the line is taken as connected.\n"
           "--baud: any rate the port takes (19200); --timeout: per answer, in ms (21000, more than twice the\n"
           "        station's COM_TIMEOUT of 10 s plus 0.5 s); --retries: sends after the first (3).\n"
           "--ignore-carrier: the port has no carrier detect line (a pseudo-terminal, a three-wire cable).\n"
           "--sim: the demo station (station 7 of examples/) on a simulated modem line, on a virtual clock;\n"
           "       it answers at 0307000007. --station-dir DIR: your station's files instead (see teldrv-station).\n"
           "       -v shows the station's log on stderr.\n"
           "When history CSV goes to stdout, every other line goes to stderr.\n"
           "exit codes: 0 done, 1 usage, 2 port or modem, 3 no carrier, 4 no answer, 5 rejected request,\n"
           "            6 bad frame, 7 file, 8 --gates of another station, 130 interrupted (Ctrl-C)\n";
}

bool ParseTime(const std::string& text, int64_t now, int64_t* seconds) {
    if (text == "now") {
        *seconds = now;
        return true;
    }
    uint64_t number = 0;
    if (ParseUnsigned(text, 0xFFFFFFFFu, &number)) {
        *seconds = static_cast<int64_t>(number);
        return true;
    }
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    int used = 0;
    std::string rest = text;
    if (!rest.empty() && (rest.back() == 'Z' || rest.back() == 'z')) rest.pop_back();
    for (char& c : rest) {
        if (c == 'T' || c == 't') c = ' ';
    }
    const int fields = std::sscanf(rest.c_str(), "%4u-%2u-%2u%n %2u:%2u%n:%2u%n", &y, &mo, &d, &used, &h, &mi, &used,
                                   &s, &used);
    if (fields < 3 || fields == 4 || static_cast<size_t>(used) != rest.size()) return false;
    static const unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || h > 23 || mi > 59 || s > 59) return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo == 2 && d == 29 && !leap) return false;
    *seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    return true;
}

std::string FormatTime(int64_t seconds) {
    const Civil c = CivilFromSeconds(seconds);
    return Format("%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(c.year), c.month, c.day, c.hour,
                  c.minute, c.second);
}

bool LoadGates(const std::string& path, std::map<uint16_t, GateInfo>* gates, std::string* error,
               std::optional<unsigned>* station) {
    std::vector<uint8_t> bytes;
    if (!gatefile::ReadBytes(path, &bytes, error)) return false;
    const gatefile::DecodedFile file = gatefile::DecodeGateFile(bytes);
    unsigned number = 0;
    if (file.hasHeader && file.trailingBytes == 0 && gatefile::ParseStationFileName(file.internalName, &number)) {
        for (size_t k = 0; k < file.gates.size(); ++k) {
            (*gates)[static_cast<uint16_t>(k)] = {file.gates[k].name, file.gates[k].valueType};
        }
        if (station) *station = number;
        return true;
    }
    std::vector<gatefile::GateSpec> list;
    if (!gatefile::ParseGateList(std::string(bytes.begin(), bytes.end()), path, &list, error)) return false;
    for (size_t k = 0; k < list.size(); ++k) (*gates)[static_cast<uint16_t>(k)] = {list[k].name, list[k].valueType};
    return true;
}

void RequestStop() { stopRequested.store(true); }
bool StopRequested() { return stopRequested.load(); }
void ClearStop() { stopRequested.store(false); }

std::string PortFailure(PortResult result, uint32_t error, const std::string& port, uint32_t baud) {
    const std::string path = station::PortDevicePath(port);
    if (result == kPortSetStateFailed) {
        return Format("line settings refused (%u baud with these data bits, parity and stop bits); check that the "
                      "port supports them",
                      baud);
    }
    if (result == kPortGetStateFailed) return "not a serial port (its line settings cannot be read)";
    switch (error) {
        case platform::kErrorFileNotFound: return "no such device (" + path + ")";
        case platform::kErrorAccessDenied:
            // The platform gives one code for both; the file's own rights tell them apart.
            if (station::PortPermissionDenied(port)) {
                return "permission denied (" + path + "): the user needs read and write access, e.g. the dialout group";
            }
            return "in use by another program (a modem tool, getty or a second teldrv-central); end it first";
        case platform::kErrorInvalidFunction: return "not a serial port";
        case platform::kErrorInvalidParameter: return "line settings refused";
    }
    return Format("platform error %u (result %d)", error, static_cast<int>(result));
}

bool EncodeWriteValue(const std::string& text, std::optional<uint8_t> valueType, uint8_t bytes[4], std::string* error) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value)) {
        *error = "value '" + text + "' is not a number";
        return false;
    }
    const bool looksFloat = text.find_first_of(".eE") != std::string::npos;
    const uint8_t type = valueType ? *valueType : (looksFloat ? 3 : (value < 0 ? 1 : 0));
    std::memset(bytes, 0, 4);
    auto put32 = [&](uint32_t bits) {
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
    };
    auto whole = [&](double low, double high, const char* what) {
        if (value != std::floor(value) || value < low || value > high) {
            *error = "value '" + text + "' does not fit " + what;
            return false;
        }
        return true;
    };
    switch (type) {
        case 3: {
            const float single = static_cast<float>(value);
            uint32_t bits;
            std::memcpy(&bits, &single, sizeof bits);
            put32(bits);
            return true;
        }
        case 4:
            if (!whole(-2147483648.0, 2147483647.0, "a signed 32-bit gate")) return false;
            put32(static_cast<uint32_t>(static_cast<int32_t>(value)));
            return true;
        case 5:
            if (!whole(0, 4294967295.0, "an unsigned 32-bit gate")) return false;
            put32(static_cast<uint32_t>(value));
            return true;
        case 1:
            if (!whole(-32768, 32767, "a signed 16-bit gate")) return false;
            break;
        default:
            if (type >= 7) break;  // the station writes nothing; send it anyway to see its answer
            if (!whole(0, 65535, "an unsigned 16-bit gate")) return false;
            break;
    }
    // 16-bit gates take bytes 6 and 7.
    const uint16_t bits = static_cast<uint16_t>(static_cast<int32_t>(type >= 7 ? 0 : value));
    bytes[2] = static_cast<uint8_t>(bits);
    bytes[3] = static_cast<uint8_t>(bits >> 8);
    return true;
}

namespace {

// Reads the command line from left to right; every method gives false with
// *error set on a bad argument.
class Parser {
public:
    Parser(const std::vector<std::string>& args, ToolOptions* options, std::string* error)
        : args_(args), options_(options), error_(error) {}

    bool Parse() {
        for (i_ = 0; i_ < args_.size(); ++i_) {
            const std::string& a = args_[i_];
            if (IsCommand(a)) {
                if (!ParseCommand()) return false;
            } else if (!a.empty() && a[0] != '-' && options_->port.empty() && options_->commands.empty()) {
                options_->port = a;
            } else if (!ParseOption()) {
                return false;
            }
        }
        if (options_->sim && options_->port.empty()) options_->port = "SIM2";
        if (!options_->sim && (options_->verbose || !options_->stationLog.empty())) {
            return Fail(std::string(options_->verbose ? "-v" : "--station-log") + " needs --sim");
        }
        if (options_->port.empty()) return Fail("no PORT given");
        if (options_->commands.empty()) return Fail("no COMMAND given");
        return true;
    }

private:
    static bool IsCommand(const std::string& word) {
        return word == "station" || word == "clock" || word == "online" || word == "history" || word == "hangup";
    }

    bool Fail(const std::string& why) {
        *error_ = why;
        return false;
    }

    bool Number(uint64_t max, uint64_t* value) {
        if (i_ + 1 >= args_.size() || !ParseUnsigned(args_[i_ + 1], max, value)) {
            return Fail(args_[i_] + " needs a number" + (i_ + 1 < args_.size() ? ", not '" + args_[i_ + 1] + "'" : ""));
        }
        ++i_;
        return true;
    }

    bool Text(std::string* value) {
        if (i_ + 1 >= args_.size()) return Fail(args_[i_] + " needs a value");
        *value = args_[++i_];
        return true;
    }

    bool ParseLineSetting(const std::string& a) {
        uint64_t value = 0;
        std::string word;
        if (a == "--baud") {
            if (!Number(0xFFFFFFFF, &value) || value == 0) return Fail("--baud takes a rate in bits per second");
            options_->baud = static_cast<uint32_t>(value);
            options_->settings[0] = static_cast<uint16_t>(value <= 0xFFFF ? value : 0);
        } else if (a == "--data") {
            if (!Number(8, &value) || value < 5) return Fail("--data takes 5 to 8");
            options_->settings[1] = static_cast<uint16_t>(value);
        } else if (a == "--stop") {
            if (!Text(&word)) return false;
            static const char* const kStop[] = {"1", "1.5", "2"};
            const auto found = std::find(std::begin(kStop), std::end(kStop), word);
            if (found == std::end(kStop)) return Fail("--stop takes 1, 1.5 or 2");
            options_->settings[2] = static_cast<uint16_t>(found - std::begin(kStop));
        } else {
            if (!Text(&word)) return false;
            static const char* const kParity[] = {"none", "odd", "even", "mark", "space"};
            const auto found = std::find(std::begin(kParity), std::end(kParity), word);
            if (found == std::end(kParity)) return Fail("--parity takes none, odd, even, mark or space");
            options_->settings[3] = static_cast<uint16_t>(found - std::begin(kParity));
        }
        return true;
    }

    bool ParseOption() {
        const std::string& a = args_[i_];
        uint64_t value = 0;
        if (a == "--baud" || a == "--data" || a == "--stop" || a == "--parity") return ParseLineSetting(a);
        if (a == "--dial") return Text(&options_->dial);
        if (a == "--gates") return Text(&options_->gatesFile);
        if (a == "--csv") return Text(&options_->csvFile);
        if (a == "--station-log") return Text(&options_->stationLog);
        if (a == "--station-dir") return Text(&options_->stationDir);
        bool* flag = a == "--trace" ? &options_->trace
                     : a == "--sim" ? &options_->sim
                     : a == "--ignore-carrier" ? &options_->ignoreCarrier
                     : a == "--no-hangup" ? &options_->noHangUp
                     : (a == "-v" || a == "--verbose") ? &options_->verbose
                                                        : nullptr;
        if (flag) return *flag = true;
        if (a == "--retries") {
            if (!Number(100, &value)) return false;
            options_->retries = static_cast<int>(value);
            return true;
        }
        if (a == "--timeout") {
            if (!Number(3600000, &value) || value == 0) return Fail("--timeout takes milliseconds");
            options_->timeoutMs = static_cast<uint32_t>(value);
            return true;
        }
        return Fail("unknown argument '" + a + "'");
    }

    bool ParseWrite(Command* command) {
        std::string assignment;
        if (!Text(&assignment)) return false;
        const size_t eq = assignment.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == assignment.size()) {
            return Fail("--write takes GATE=VALUE, not '" + assignment + "'");
        }
        const std::string target = assignment.substr(0, eq);
        uint64_t gate = 0;
        WriteSpec write{0, assignment.substr(eq + 1), ""};
        if (target[0] >= '0' && target[0] <= '9') {
            if (!ParseUnsigned(target, 0x7FFF, &gate)) return Fail("--write: gate number '" + target + "' above 32767");
            write.gate = static_cast<uint16_t>(gate);
        } else {
            write.name = target;
        }
        command->write = write;
        return true;
    }

    bool ParseOnline(Command* command) {
        while (i_ + 1 < args_.size() &&
               (args_[i_ + 1] == "--seconds" || args_[i_ + 1] == "--write" || args_[i_ + 1] == "--csv")) {
            ++i_;
            uint64_t value = 0;
            if (args_[i_] == "--seconds") {
                if (!Number(86400, &value)) return false;
                command->seconds = static_cast<uint32_t>(value);
            } else if (args_[i_] == "--csv") {
                if (!Text(&command->csvFile)) return false;
            } else if (!ParseWrite(command)) {
                return false;
            }
        }
        return true;
    }

    bool ParseCommand() {
        const std::string& a = args_[i_];
        Command command;
        int64_t seconds = 0;
        if (a == "station") {
            command.kind = Command::Station;
        } else if (a == "hangup") {
            command.kind = Command::HangUp;
        } else if (a == "clock") {
            command.kind = Command::Clock;
            if (i_ + 1 < args_.size() && ParseTime(args_[i_ + 1], 0, &seconds)) {
                if (args_[i_ + 1] != "now") command.time = seconds;
                ++i_;
            }
        } else if (a == "online") {
            command.kind = Command::Online;
            if (!ParseOnline(&command)) return false;
        } else {
            command.kind = Command::History;
            if (i_ + 2 >= args_.size() || args_[i_ + 1] != "--since") return Fail("history needs --since TIME");
            if (!ParseTime(args_[i_ + 2], 0, &seconds)) {
                return Fail("history --since: bad time '" + args_[i_ + 2] + "'");
            }
            // "now" is taken when the command runs.
            if (args_[i_ + 2] != "now") command.time = seconds;
            i_ += 2;
        }
        options_->commands.push_back(command);
        return true;
    }

    const std::vector<std::string>& args_;
    ToolOptions* options_;
    std::string* error_;
    size_t i_ = 0;
};

}  // namespace

int ParseCommandLine(const std::vector<std::string>& args, ToolOptions* options, std::string* error) {
    for (const std::string& a : args) {
        options->help |= a == "--help" || a == "-h";
        options->version |= a == "--version";
    }
    if (options->help || options->version) return kExitOk;
    Parser parser(args, options, error);
    return parser.Parse() ? kExitOk : kExitUsage;
}

namespace {

// What RunTool checks and opens before the port: nothing here needs the station.
struct Prepared {
    std::map<uint16_t, GateInfo> gates;
    std::optional<unsigned> gatesStation;
    std::vector<Command> commands;
    std::map<std::string, std::ofstream> csvFiles;  // by path: one stream and header even when named twice
};

int PrepareWrite(const ToolOptions& options, Prepared* prepared, WriteSpec* write, std::ostream& err) {
    if (!write->name.empty()) {
        if (options.gatesFile.empty()) {
            err << "teldrv-central: --write " << write->name << "=...: a gate by name needs --gates FILE\n";
            return kExitUsage;
        }
        const auto found = std::find_if(prepared->gates.begin(), prepared->gates.end(),
                                        [&](const auto& gate) { return gate.second.name == write->name; });
        if (found == prepared->gates.end()) {
            err << "teldrv-central: --write: no gate named '" << write->name << "' in " << options.gatesFile << '\n';
            return kExitUsage;
        }
        write->gate = found->first;
    }
    const auto found = prepared->gates.find(write->gate);
    const std::optional<uint8_t> type = found == prepared->gates.end() ? std::nullopt : found->second.valueType;
    uint8_t bytes[4];
    std::string why;
    if (!EncodeWriteValue(write->value, type, bytes, &why)) {
        err << "teldrv-central: --write " << write->gate << '=' << write->value << ": " << why << '\n';
        return kExitUsage;
    }
    if (StationIgnoresWrite(type)) {
        err << "teldrv-central: warning: gate " << write->gate << ' ' << found->second.name << " has value type "
            << unsigned{*type} << ", which the station never writes; the write is sent only to see the answer\n";
    }
    return kExitOk;
}

int OpenCsv(const std::string& path, Prepared* prepared, std::ostream& err) {
    if (path.empty() || prepared->csvFiles.count(path)) return kExitOk;
    std::ofstream& file = prepared->csvFiles[path];
    errno = 0;
    file.open(path, std::ios::trunc);
    if (!file) {
        err << "teldrv-central: cannot write " << path << ": " << (errno ? std::strerror(errno) : "open failed")
            << '\n';
        return kExitFile;
    }
    file << kCsvHeader << std::flush;
    return kExitOk;
}

int Prepare(const ToolOptions& options, Prepared* prepared, std::ostream& err) {
    std::string why;
    if (!options.gatesFile.empty() && !LoadGates(options.gatesFile, &prepared->gates, &why, &prepared->gatesStation)) {
        err << "teldrv-central: gate file: " << why << '\n';
        return kExitFile;
    }
    prepared->commands = options.commands;
    bool history = false;
    for (Command& command : prepared->commands) {
        history |= command.kind == Command::History;
        if (command.write) {
            const int code = PrepareWrite(options, prepared, &*command.write, err);
            if (code != kExitOk) return code;
        }
        const int code = OpenCsv(command.csvFile, prepared, err);
        if (code != kExitOk) return code;
    }
    if (!history && !options.csvFile.empty()) {
        err << "teldrv-central: warning: --csv " << options.csvFile
            << " is for history, and no history command is given (online takes its own: online --csv FILE)\n";
    }
    return history ? OpenCsv(options.csvFile, prepared, err) : kExitOk;
}

// OpenPort takes 16-bit rates like the driver; higher ones are set afterwards.
int OpenToolPort(const ToolOptions& options, platform::PortHandle* port, std::ostream& err) {
    uint16_t settings[4] = {options.settings[0], options.settings[1], options.settings[2], options.settings[3]};
    const bool wide = options.baud > 0xFFFF;
    settings[0] = wide ? 9600 : static_cast<uint16_t>(options.baud);
    PortResult opened = OpenPort(options.port.c_str(), settings, kPortOptionsDriver, port);
    if (opened == kPortOk && wide) {
        platform::Dcb dcb{};
        dcb.DCBlength = 28;
        dcb.BaudRate = options.baud;
        if (!platform::CommGetState(*port, &dcb) || (dcb.BaudRate = options.baud, !platform::CommSetState(*port, &dcb))) {
            const uint32_t error = platform::LastError();
            ClosePort(*port);
            platform::SetLastError(error);
            opened = kPortSetStateFailed;
        }
    }
    if (opened != kPortOk) {
        err << "teldrv-central: cannot open port " << options.port << ": "
            << PortFailure(opened, platform::LastError(), options.port, options.baud) << '\n';
        return kExitPort;
    }
    return kExitOk;
}

// The commands on the open connection, and the end of the call.
int RunCommands(const ToolOptions& options, Prepared& prepared, Link& link, std::ostream& out, std::ostream& err) {
    bool history = false;
    for (const Command& command : prepared.commands) history |= command.kind == Command::History;
    // Pure CSV on stdout: the results go with the diagnostics.
    std::ostream& report = options.csvFile.empty() && history ? err : out;
    Session session(options, link, report, err, prepared.gates, prepared.gatesStation, prepared.csvFiles, out);
    int result = kExitOk;
    bool fatal = false;
    size_t done = 0;
    for (const Command& command : prepared.commands) {
        const int code = session.Run(command, &fatal);
        if (result == kExitOk || code == kExitInterrupted) result = code;
        if (fatal || code == kExitWrongStation || code == kExitInterrupted) break;
        ++done;
    }
    if (session.callUp() && (!options.noHangUp || result == kExitInterrupted)) {
        const int code = session.EndCall();
        if (result == kExitOk) result = code;
    }
    if (result == kExitInterrupted) {
        err << "teldrv-central: interrupted after " << done << " of " << Plural(prepared.commands.size(), "command", "commands")
            << (session.callUp() ? "; the station may still hold the call" : "; the call is ended")
            << (prepared.csvFiles.empty() ? "" : ", CSV files closed with whole lines") << '\n';
    }
    return result;
}

}  // namespace

int RunTool(const ToolOptions& options, std::ostream& out, std::ostream& err) {
    Prepared prepared;
    int result = Prepare(options, &prepared, err);
    if (result != kExitOk) return result;
    platform::PortHandle port = platform::kInvalidPortHandle;
    result = OpenToolPort(options, &port, err);
    if (result != kExitOk) return result;
    ModemOptions modemOptions;
    modemOptions.carrierTimeoutMs = options.carrierTimeoutMs;
    modemOptions.settleMs = options.settleMs;
    modemOptions.ignoreCarrier = options.ignoreCarrier;
    modemOptions.stopRequested = AskedToStop;
    ModemDialogue modem(port, modemOptions, err);
    if (!options.dial.empty()) {
        result = modem.Dial(options.dial);
        if (result == kExitOk) err << "connected to " << options.dial << '\n';
    }
    if (result == kExitOk) {
        LinkOptions linkOptions;
        linkOptions.attempts = options.retries + 1;
        linkOptions.timeoutMs = options.timeoutMs;
        linkOptions.checkCarrier = !options.dial.empty() && !options.ignoreCarrier;
        linkOptions.trace = options.trace;
        linkOptions.stopRequested = AskedToStop;
        Link link(port, linkOptions, err);
        result = RunCommands(options, prepared, link, out, err);
        if (link.repetitions() > 0) err << Plural(link.repetitions(), "request", "requests") << " sent again\n";
    }
    const bool keepCall = options.noHangUp && result != kExitInterrupted;
    if (!options.dial.empty() && !keepCall) modem.HangUp();
    if (!options.dial.empty() && keepCall) err << "--no-hangup: the call stays up\n";
    ClosePort(port);
    for (auto& [path, file] : prepared.csvFiles) file.close();
    if (result != kExitOk) err << "teldrv-central: failed: " << ExitCodeName(result) << '\n';
    return result;
}

}  // namespace central
