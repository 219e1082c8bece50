#include "tools/central/command_line.h"

#include <algorithm>
#include <iterator>

#include "tools/central/codecs.h"
#include "tools/central/exit_code.h"
#include "tools/shared/text.h"

namespace central {

std::string UsageText() {
    return "usage: teldrv-central PORT [--baud N] [--data 5-8] [--parity none|odd|even|mark|space] [--stop 1|1.5|2]\n"
           "                      [--dial NUMBER] [--ignore-carrier] [--no-hangup] [--gates FILE] [--csv FILE]\n"
           "                      [--trace] [--capture FILE] [--retries N] [--timeout MS] COMMAND...\n"
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
           "--capture FILE: every byte of the line and its carrier changes into FILE, pcapng for Wireshark\n"
           "        (see docs/capture.md); complete also after Ctrl-C.\n"
           "When history CSV goes to stdout, every other line goes to stderr.\n"
           "exit codes: 0 done, 1 usage, 2 port or modem, 3 no carrier, 4 no answer, 5 rejected request,\n"
           "            6 bad frame, 7 file, 8 --gates of another station, 130 interrupted (Ctrl-C)\n";
}

namespace {

// The command line's numbers: at most 10 digits.
bool ParseDecimal(const std::string& text, uint64_t max, uint64_t* value) {
    return tools::ParseDecimal(text, 10, max, value);
}

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
        if (i_ + 1 >= args_.size() || !ParseDecimal(args_[i_ + 1], max, value)) {
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
        if (a == "--capture") return Text(&options_->captureFile);
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
        WriteRequest write{0, assignment.substr(eq + 1), ""};
        if (target[0] >= '0' && target[0] <= '9') {
            if (!ParseDecimal(target, 0x7FFF, &gate)) return Fail("--write: gate number '" + target + "' above 32767");
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


}  // namespace central
