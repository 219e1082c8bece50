#include "tools/central_tool.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/time.h"
#include "serial/port.h"
#include "tools/gate_file.h"

namespace central {

namespace {

std::string Format(const char* format, auto... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

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

// What one run of the commands needs.
class Session {
public:
    Session(const ToolOptions& options, Link& link, std::ostream& out, std::ostream& err,
            const std::map<uint16_t, GateInfo>& gates)
        : options_(options), link_(link), out_(out), err_(err), gates_(gates) {}

    // kExitOk, or the code of what failed; `fatal` says the connection is of no further use.
    int Run(const Command& command, bool* fatal) {
        switch (command.kind) {
            case Command::Station: return Station(fatal);
            case Command::Clock: return Clock(command, fatal);
            case Command::Online: return Online(command, fatal);
            case Command::History: return History(command, fatal);
            case Command::HangUp: return HangUp(fatal);
        }
        return kExitUsage;
    }

private:
    // One request; on failure says why and gives the exit code.
    int Ask(const Bytes& request, Bytes* response, bool* fatal) {
        switch (link_.Ask(request, response)) {
            case AskResult::Ok:
                if ((*response)[0] == '@') {
                    err_ << RequestName(request[0]) << ": rejected by the station\n";
                    return kExitRejected;
                }
                return kExitOk;
            case AskResult::NoAnswer:
                err_ << RequestName(request[0]) << ": no answer from the station after " << options_.retries + 1
                     << " sends\n";
                *fatal = true;
                return kExitNoAnswer;
            case AskResult::BadFrame:
                err_ << RequestName(request[0]) << ": " << link_.error() << " (after " << options_.retries + 1
                     << " sends)\n";
                *fatal = true;
                return kExitBadFrame;
            case AskResult::NoCarrier:
                err_ << RequestName(request[0]) << ": carrier lost\n";
                *fatal = true;
                return kExitNoCarrier;
        }
        return kExitNoAnswer;
    }

    std::string GateName(uint16_t gate) const {
        const auto found = gates_.find(gate);
        return found == gates_.end() ? std::string() : found->second.name;
    }

    int Station(bool* fatal) {
        Bytes response;
        const int code = Ask({'S'}, &response, fatal);
        if (code != kExitOk) return code;
        if (response.size() != 4) {
            err_ << "FE_REQ_STATION: answer of " << response.size() << " bytes\n";
            return kExitBadFrame;
        }
        out_ << "station " << static_cast<unsigned>(response[1]) << '\n';
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

    void PrintChange(const uint8_t* record) {
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
    }

    int Online(const Command& command, bool* fatal) {
        Bytes response;
        int code = Ask({'O'}, &response, fatal);
        if (code != kExitOk) return code;
        if (response.size() != 2 || response[1] != 0) {
            err_ << "FE_REQ_START_ONLINE: the station could not start on-line transfer (status "
                 << (response.size() > 1 ? unsigned{response[1]} : 0u) << ")\n";
            return kExitRejected;
        }
        out_ << Format("%5s  %-20s  %14s  %6s  %s", "gate", "name", "value", "status", "time") << '\n';
        const uint64_t start = platform::MonotonicMs();
        const uint64_t end = start + uint64_t{command.seconds} * 1000;
        const uint64_t writeAt = start + uint64_t{command.seconds} * 500;
        bool writePending = command.write.has_value();
        int result = kExitOk;
        size_t changes = 0;
        for (;;) {
            Bytes request{'M', link_.NextSequence()};
            const bool withWrite = writePending && platform::MonotonicMs() >= writeAt;
            if (withWrite) {
                const auto found = gates_.find(command.write->gate);
                const std::optional<uint8_t> type =
                    found == gates_.end() ? std::nullopt : found->second.valueType;
                uint8_t value[4];
                std::string why;
                if (!EncodeWriteValue(command.write->value, type, value, &why)) {
                    err_ << "write: " << why << '\n';
                    return kExitUsage;
                }
                PutLe16(&request, command.write->gate);
                request.insert(request.end(), value, value + 4);
                writePending = false;
            }
            code = Ask(request, &response, fatal);
            if (code != kExitOk) return code;
            const size_t offset = withWrite ? 3 : 2;
            if (response.size() < offset || (response.size() - offset) % 16 != 0) {
                err_ << "FE_REQ_CONT_ONLINE: answer of " << response.size() << " bytes\n";
                *fatal = true;
                return kExitBadFrame;
            }
            if (withWrite) {
                const std::string name = GateName(command.write->gate);
                out_ << "write gate " << command.write->gate << (name.empty() ? "" : " " + name) << " = "
                     << command.write->value << ": status " << static_cast<unsigned>(response[2])
                     << (response[2] == 0 ? " (taken)" : response[2] == 128 ? " (no such gate)" : " (refused)")
                     << '\n';
                if (response[2] != 0) result = kExitRejected;
            }
            const size_t count = (response.size() - offset) / 16;
            for (size_t i = 0; i < count; ++i) PrintChange(&response[offset + 16 * i]);
            changes += count;
            // The change a write raises comes with a later poll.
            if (platform::MonotonicMs() >= end && !writePending && !withWrite) break;
            // A full answer means more are waiting.
            if (count < 64) platform::Sleep(options_.pollMs);
        }
        out_ << changes << " changes\n";
        return result;
    }

    int History(const Command& command, bool* fatal) {
        const uint32_t since = static_cast<uint32_t>(command.time.value_or(0));
        Bytes request{'H'};
        for (int i = 0; i < 4; ++i) request.push_back(static_cast<uint8_t>(since >> (8 * i)));
        Bytes response;
        int code = Ask(request, &response, fatal);
        if (code != kExitOk) return code;
        if (response.size() != 2 || response[1] != 0) {
            err_ << "FE_REQ_START_HISTORY: the station could not open its history (status "
                 << (response.size() > 1 ? unsigned{response[1]} : 0u) << ")\n";
            return kExitRejected;
        }
        std::ofstream file;
        if (!options_.csvFile.empty()) {
            file.open(options_.csvFile, std::ios::trunc);
            if (!file) {
                err_ << "cannot write " << options_.csvFile << '\n';
                return kExitFile;
            }
        }
        std::ostream& csv = options_.csvFile.empty() ? out_ : file;
        csv << "gate,name,time,milliseconds,status,value,payload\n";
        size_t records = 0;
        int answers = 0;
        for (;;) {
            code = Ask({'T', link_.NextSequence()}, &response, fatal);
            if (code != kExitOk) break;
            if (response.size() < 2 || (response.size() - 2) % 18 != 0) {
                err_ << "FE_REQ_CONT_HISTORY: answer of " << response.size() << " bytes\n";
                *fatal = true;
                code = kExitBadFrame;
                break;
            }
            ++answers;
            const size_t count = (response.size() - 2) / 18;
            for (size_t i = 0; i < count; ++i) {
                const uint8_t* record = &response[2 + 18 * i];
                const uint16_t gate = static_cast<uint16_t>(record[0] | record[1] << 8);
                const uint8_t* payload = record + 2;
                std::string name = GateName(gate);
                csv << gate << ',' << name << ',' << FormatTime(Le32(payload)) << ','
                    << (payload[4] | payload[5] << 8) << ',' << (payload[6] | payload[7] << 8) << ','
                    << FormatValue(LeDouble(payload + 8)) << ',' << Hex(payload, 16) << '\n';
            }
            records += count;
            if (options_.progress) err_ << "\rhistory: " << records << " records in " << answers << " answers" << std::flush;
            if (response[1] != 0) {
                if (options_.progress) err_ << '\n';
                err_ << "FE_REQ_CONT_HISTORY: the station could not read its history (status "
                     << static_cast<unsigned>(response[1]) << ")\n";
                code = kExitRejected;
                break;
            }
            if (count == 0) break;
        }
        if (options_.progress && code == kExitOk) err_ << '\n';
        out_ << "history since " << FormatTime(since) << ": " << records << " records"
             << (options_.csvFile.empty() ? "" : " written to " + options_.csvFile) << '\n';
        return code;
    }

    int HangUp(bool* fatal) {
        Bytes response;
        const int code = Ask({'X'}, &response, fatal);
        if (code != kExitOk) return code;
        out_ << "station hung up\n";
        *fatal = true;  // the station ends the session
        return kExitOk;
    }

    const ToolOptions& options_;
    Link& link_;
    std::ostream& out_;
    std::ostream& err_;
    const std::map<uint16_t, GateInfo>& gates_;
};

}  // namespace

std::string UsageText() {
    return "usage: teldrv-central PORT [--baud N] [--data 5-8] [--parity none|odd|even|mark|space] [--stop 1|1.5|2]\n"
           "                      [--dial NUMBER] [--gates FILE] [--csv FILE] [--trace] [--retries N]\n"
           "                      [--timeout MS] COMMAND...\n"
           "       teldrv-central --sim --dial NUMBER [options] COMMAND...\n"
           "commands, run in order on one connection:\n"
           "  station                                  the station's number\n"
           "  clock [TIME]                             set the station's clock (default: now, UTC)\n"
           "  online [--seconds N] [--write GATE=VALUE] on-line changes for N seconds (10), one remote write\n"
           "                                           half-way through\n"
           "  history --since TIME                     history records since TIME (CSV to --csv FILE or stdout)\n"
           "  hangup                                   end the session\n"
           "TIME: seconds since 1970, 'now', or YYYY-MM-DD[THH:MM[:SS]][Z] (UTC).\n"
           "PORT: a device name (ttyS0 is /dev/ttyS0) or a path. Without --dial the line is taken as connected.\n"
           "--sim: the demo station (station 7 of examples/) on a simulated modem line, on a virtual clock;\n"
           "       it answers at 0307000007. --station-dir DIR: your station's files instead (see teldrv-station).\n"
           "exit codes: 0 done, 1 usage, 2 port or modem, 3 no carrier, 4 no answer, 5 rejected request,\n"
           "            6 bad frame, 7 file\n";
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

bool LoadGates(const std::string& path, std::map<uint16_t, GateInfo>* gates, std::string* error) {
    std::vector<uint8_t> bytes;
    if (!gatefile::ReadBytes(path, &bytes, error)) return false;
    const gatefile::DecodedFile file = gatefile::DecodeGateFile(bytes);
    unsigned station = 0;
    if (file.hasHeader && file.trailingBytes == 0 && gatefile::ParseStationFileName(file.internalName, &station)) {
        for (size_t k = 0; k < file.gates.size(); ++k) {
            (*gates)[static_cast<uint16_t>(k)] = {file.gates[k].name, file.gates[k].valueType};
        }
        return true;
    }
    std::vector<gatefile::GateSpec> list;
    if (!gatefile::ParseGateList(std::string(bytes.begin(), bytes.end()), path, &list, error)) return false;
    for (size_t k = 0; k < list.size(); ++k) (*gates)[static_cast<uint16_t>(k)] = {list[k].name, list[k].valueType};
    return true;
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

int ParseCommandLine(const std::vector<std::string>& args, ToolOptions* options, std::string* error) {
    auto isCommand = [](const std::string& word) {
        return word == "station" || word == "clock" || word == "online" || word == "history" || word == "hangup";
    };
    auto number = [&](size_t& i, uint64_t max, uint64_t* value) {
        if (i + 1 >= args.size() || !ParseUnsigned(args[i + 1], max, value)) {
            *error = args[i] + " needs a number" + (i + 1 < args.size() ? ", not '" + args[i + 1] + "'" : "");
            return false;
        }
        ++i;
        return true;
    };
    auto text = [&](size_t& i, std::string* value) {
        if (i + 1 >= args.size()) {
            *error = args[i] + " needs a value";
            return false;
        }
        *value = args[++i];
        return true;
    };
    uint64_t value = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--baud") {
            if (!number(i, 0xFFFF, &value) || value == 0) return *error = error->empty() ? "bad --baud" : *error, kExitUsage;
            options->settings[0] = static_cast<uint16_t>(value);
        } else if (a == "--data") {
            if (!number(i, 8, &value) || value < 5) return *error = "--data takes 5 to 8", kExitUsage;
            options->settings[1] = static_cast<uint16_t>(value);
        } else if (a == "--stop") {
            std::string stop;
            if (!text(i, &stop)) return kExitUsage;
            if (stop == "1") options->settings[2] = 0;
            else if (stop == "1.5") options->settings[2] = 1;
            else if (stop == "2") options->settings[2] = 2;
            else return *error = "--stop takes 1, 1.5 or 2", kExitUsage;
        } else if (a == "--parity") {
            static const char* const kParity[] = {"none", "odd", "even", "mark", "space"};
            std::string parity;
            if (!text(i, &parity)) return kExitUsage;
            bool found = false;
            for (uint16_t k = 0; k < 5; ++k) {
                if (parity == kParity[k]) options->settings[3] = k, found = true;
            }
            if (!found) return *error = "--parity takes none, odd, even, mark or space", kExitUsage;
        } else if (a == "--dial") {
            if (!text(i, &options->dial)) return kExitUsage;
        } else if (a == "--gates") {
            if (!text(i, &options->gatesFile)) return kExitUsage;
        } else if (a == "--csv") {
            if (!text(i, &options->csvFile)) return kExitUsage;
        } else if (a == "--trace") {
            options->trace = true;
        } else if (a == "--sim") {
            options->sim = true;
        } else if (a == "--station-dir") {
            if (!text(i, &options->stationDir)) return kExitUsage;
        } else if (a == "--retries") {
            if (!number(i, 100, &value)) return kExitUsage;
            options->retries = static_cast<int>(value);
        } else if (a == "--timeout") {
            if (!number(i, 3600000, &value) || value == 0) return *error = "--timeout takes milliseconds", kExitUsage;
            options->timeoutMs = static_cast<uint32_t>(value);
        } else if (isCommand(a)) {
            Command command;
            if (a == "station") {
                command.kind = Command::Station;
            } else if (a == "hangup") {
                command.kind = Command::HangUp;
            } else if (a == "clock") {
                command.kind = Command::Clock;
                int64_t seconds = 0;
                if (i + 1 < args.size() && ParseTime(args[i + 1], 0, &seconds) && args[i + 1] != "now") {
                    command.time = seconds;
                    ++i;
                } else if (i + 1 < args.size() && args[i + 1] == "now") {
                    ++i;
                }
            } else if (a == "online") {
                command.kind = Command::Online;
                while (i + 1 < args.size() && (args[i + 1] == "--seconds" || args[i + 1] == "--write")) {
                    ++i;
                    if (args[i] == "--seconds") {
                        if (!number(i, 86400, &value)) return kExitUsage;
                        command.seconds = static_cast<uint32_t>(value);
                    } else {
                        std::string assignment;
                        if (!text(i, &assignment)) return kExitUsage;
                        const size_t eq = assignment.find('=');
                        uint64_t gate = 0;
                        if (eq == std::string::npos || !ParseUnsigned(assignment.substr(0, eq), 0x7FFF, &gate) ||
                            eq + 1 == assignment.size()) {
                            return *error = "--write takes GATE=VALUE, not '" + assignment + "'", kExitUsage;
                        }
                        command.write = WriteSpec{static_cast<uint16_t>(gate), assignment.substr(eq + 1)};
                    }
                }
            } else {
                command.kind = Command::History;
                if (i + 2 >= args.size() || args[i + 1] != "--since") {
                    return *error = "history needs --since TIME", kExitUsage;
                }
                int64_t seconds = 0;
                if (!ParseTime(args[i + 2], 0, &seconds) || args[i + 2] == "now") {
                    return *error = "history --since: bad time '" + args[i + 2] + "'", kExitUsage;
                }
                command.time = seconds;
                i += 2;
            }
            options->commands.push_back(command);
        } else if (!a.empty() && a[0] != '-' && options->port.empty() && options->commands.empty()) {
            options->port = a;
        } else {
            return *error = "unknown argument '" + a + "'", kExitUsage;
        }
    }
    if (options->sim && options->port.empty()) options->port = "SIM2";
    if (options->port.empty()) return *error = "no PORT given", kExitUsage;
    if (options->commands.empty()) return *error = "no COMMAND given", kExitUsage;
    return kExitOk;
}

int RunTool(const ToolOptions& options, std::ostream& out, std::ostream& err) {
    std::map<uint16_t, GateInfo> gates;
    if (!options.gatesFile.empty()) {
        std::string why;
        if (!LoadGates(options.gatesFile, &gates, &why)) {
            err << "gate file: " << why << '\n';
            return kExitFile;
        }
    }
    platform::PortHandle port = platform::kInvalidPortHandle;
    const int opened = OpenPort(options.port.c_str(), options.settings, kPortOptionsDriver, &port);
    if (opened != kPortOk) {
        err << "cannot open port " << options.port << " (result " << opened << ")\n";
        return kExitPort;
    }
    ModemOptions modemOptions;
    modemOptions.carrierTimeoutMs = options.carrierTimeoutMs;
    modemOptions.settleMs = options.settleMs;
    ModemDialogue modem(port, modemOptions, err);
    int result = kExitOk;
    if (!options.dial.empty()) {
        result = modem.Dial(options.dial);
        if (result == kExitOk) err << "connected to " << options.dial << '\n';
    }
    if (result == kExitOk) {
        LinkOptions linkOptions;
        linkOptions.attempts = options.retries + 1;
        linkOptions.timeoutMs = options.timeoutMs;
        linkOptions.checkCarrier = !options.dial.empty();
        linkOptions.trace = options.trace;
        Link link(port, linkOptions, err);
        Session session(options, link, out, err, gates);
        for (const Command& command : options.commands) {
            bool fatal = false;
            const int code = session.Run(command, &fatal);
            if (result == kExitOk) result = code;
            if (fatal) break;
        }
        if (link.repetitions() > 0) err << link.repetitions() << " requests sent again\n";
    }
    if (!options.dial.empty()) modem.HangUp();
    ClosePort(port);
    if (result != kExitOk) err << "failed: " << ExitCodeName(result) << '\n';
    return result;
}

}  // namespace central
