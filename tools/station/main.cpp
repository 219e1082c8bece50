// teldrv-station: the real driver as a station of one's own, in a directory
// of the user's files: checked (check DIR), or run behind a pseudo-terminal
// or a named port for a central station to dial and poll, or on a real port
// with a real modem.
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "tools/shared/station_files.h"
#include "tools/station/check.h"
#include "tools/station/run.h"
#include "tools/shared/text.h"

namespace {

constexpr char kUsageText[] =
    "usage: teldrv-station check DIR [--driver N]\n"
    "       teldrv-station DIR (--pty | --port PATH | --modem PORT | --sim) [options]\n"
    "\n"
    "DIR holds the station's init file (TELDRVnn.INT, TELDRVn.INT or TELDRV.INT,\n"
    "as the driver looks it up for driver number N, default 1) and its gate file:\n"
    "NN_GATES.DAT, or the text list NN_gates.txt that teldrv-gates reads (NAME\n"
    "VALUE_TYPE LEAD_BYTE a line). DIR is never written to.\n"
    "\n"
    "check          runs the driver's readers on DIR, prints what they log and a\n"
    "               summary, and warns about what is probably not meant.\n"
    "               Exit status: 0 good, 1 the driver refuses something, 2 bad\n"
    "               arguments, 3 warnings only.\n"
    "--pty          makes a pseudo-terminal and prints its path; the far side\n"
    "               finds a modem there: ATD<any number> reaches the station.\n"
    "--port PATH    the same on a serial port with no modem on it.\n"
    "--modem PORT   the driver as shipped on a serial port with a real modem on\n"
    "               it (ttyS0, /dev/ttyUSB0): the driver's own AT dialogue, the\n"
    "               carrier from the port's modem lines. The transcript shows the\n"
    "               driver's log and the host calls, not the line's bytes.\n"
    "--sim          the station on a simulated modem line with a central on it:\n"
    "               that is teldrv-central --sim --station-dir DIR, which this\n"
    "               mode names and leaves to.\n"
    "--baud N       --modem: the port's rate, 1 to 65535 (default 19200).\n"
    "--direct       no modem toward the far side: the first byte starts a call,\n"
    "               --silence S seconds without a byte end it (default 30).\n"
    "--auto-answer  the far side's modem answers the station's alarm calls itself;\n"
    "               otherwise the far side sees RING and answers with ATA.\n"
    "--script CSV   host changes: lines of SECONDS,GATE_NAME,VALUE or\n"
    "               SECONDS,GATE_NAME,status=N, seconds from the start.\n"
    "--changes R    random changes, R a second over the station's gates (R/s).\n"
    "--history CSV  history records: lines of UNIX_SECONDS,GATE_NAME,VALUE;\n"
    "               without it the changes made so far are the history.\n"
    "--alarm-at S[:REF]  writes ALARM_CALL (dial reference REF, default 1) S\n"
    "               seconds after the start; a typed 'a' + Enter does it at once.\n"
    "--modem-silent FROM-TO  the station's modem stops answering FROM seconds\n"
    "               after the start and answers again at TO; a typed 'm' + Enter\n"
    "               turns it over at once.\n"
    "--port-away FROM-TO  the station's port loses its device (as a USB adapter\n"
    "               pulled out) from FROM to TO seconds; a typed 'p' + Enter\n"
    "               turns it over at once. Not with --modem.\n"
    "--log FILE     also writes the transcript to FILE.\n"
    "--capture FILE every byte the far side's port carries, its carrier and (--pty)\n"
    "               its opening and closing as DTR, into FILE as pcapng for\n"
    "               Wireshark (docs/capture.md); complete also after Ctrl-C.\n"
    "               With --modem the driver owns the port: put LINK_CAPTURE = NAME\n"
    "               in the init file; the file is kept in the directory this\n"
    "               program was started from.\n"
    "--driver N     the driver number (init file name), default 1.\n"
    "Ctrl-C ends the driver (EndVpi) and the program.\n";

int Usage(const std::string& problem) {
    std::cerr << "teldrv-station: " << problem << "\n\n" << kUsageText;
    return station::kCheckUsage;
}

// The station's numbers: at most 9 digits.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value) {
    return tools::ParseDecimal(text, 9, max, value);
}

// The option at args[*i], and the value after it.
struct OptionCursor {
    const std::vector<std::string>& args;
    size_t* i;
    std::string* error;

    const std::string& arg() const { return args[*i]; }
    bool Value(std::string* out) {
        if (*i + 1 >= args.size()) return Fail(arg() + " needs a value");
        *out = args[++*i];
        return true;
    }
    bool Fail(const std::string& why) {
        *error = why;
        return false;
    }
};

// --pty, --port PATH, --modem PORT, --sim: what the station is reached by.
bool ParsePortMode(OptionCursor& at, station::RunOptions* options) {
    const std::string& arg = at.arg();
    if (arg != "--sim" && options->mode != station::PortMode::None) {
        return at.Fail("give one of --pty, --port and --modem");
    }
    if (arg == "--pty" || arg == "--sim") {
        options->mode = arg == "--pty" ? station::PortMode::Pty : station::PortMode::Sim;
        return true;
    }
    options->mode = arg == "--port" ? station::PortMode::Named : station::PortMode::Modem;
    return at.Value(&options->port);
}

// --baud, --changes, --silence and --driver: a number each.
bool ParseCount(OptionCursor& at, station::RunOptions* options) {
    const std::string& arg = at.arg();
    std::string text;
    uint64_t number = 0;
    if (!at.Value(&text)) return false;
    if (arg == "--baud") {
        if (!ParseNumber(text, 65535, &number) || number == 0) {
            return at.Fail("--baud takes a rate from 1 to 65535, not '" + text + "'");
        }
        options->baudRate = static_cast<uint16_t>(number);
    } else if (arg == "--changes") {
        if (text.size() > 2 && text.ends_with("/s")) text.resize(text.size() - 2);
        if (!ParseNumber(text, 1000, &number) || number == 0) {
            return at.Fail("--changes takes a rate from 1 to 1000 a second (N/s), not '" + at.arg() + "'");
        }
        options->changesPerSecond = static_cast<uint32_t>(number);
    } else {
        if (!ParseNumber(text, 3600, &number) || number == 0) {
            return at.Fail(arg + " takes a number from 1 to 3600, not '" + text + "'");
        }
        (arg == "--silence" ? options->silenceSeconds : options->driverNumber) = static_cast<uint32_t>(number);
    }
    return true;
}

// --alarm-at SECONDS[:REF].
bool ParseAlarmAt(OptionCursor& at, station::RunOptions* options) {
    std::string text;
    if (!at.Value(&text)) return false;
    const size_t colon = text.find(':');
    uint64_t seconds = 0;
    uint64_t reference = 1;
    if (!ParseNumber(text.substr(0, colon), 86400, &seconds) ||
        (colon != std::string::npos && (!ParseNumber(text.substr(colon + 1), 254, &reference) || reference == 0))) {
        return at.Fail("--alarm-at takes SECONDS or SECONDS:REF (REF 1 to 254), not '" + text + "'");
    }
    options->alarmAtSeconds = static_cast<int64_t>(seconds);
    options->alarmReference = static_cast<uint8_t>(reference);
    return true;
}

// --modem-silent and --port-away FROM-TO, in seconds from the start.
bool ParseStretch(OptionCursor& at, station::RunOptions* options) {
    const std::string arg = at.arg();
    std::string text;
    if (!at.Value(&text)) return false;
    const size_t dash = text.find('-');
    uint64_t from = 0;
    uint64_t to = 0;
    if (dash == std::string::npos || !ParseNumber(text.substr(0, dash), 86400, &from) ||
        !ParseNumber(text.substr(dash + 1), 86400, &to) || to <= from) {
        return at.Fail(arg + " takes FROM-TO, seconds from the start with FROM before TO, not '" + text + "'");
    }
    station::Stretch& stretch = arg == "--modem-silent" ? options->modemSilent : options->portAway;
    stretch = {static_cast<int64_t>(from), static_cast<int64_t>(to)};
    return true;
}

bool ParseRunOption(const std::vector<std::string>& args, size_t* i, station::RunOptions* options,
                    std::string* error) {
    OptionCursor at{args, i, error};
    const std::string& arg = args[*i];
    if (arg == "--pty" || arg == "--port" || arg == "--modem" || arg == "--sim") return ParsePortMode(at, options);
    if (arg == "--baud" || arg == "--changes" || arg == "--silence" || arg == "--driver") return ParseCount(at, options);
    if (arg == "--alarm-at") return ParseAlarmAt(at, options);
    if (arg == "--modem-silent" || arg == "--port-away") return ParseStretch(at, options);
    if (arg == "--script") return at.Value(&options->scriptFile);
    if (arg == "--history") return at.Value(&options->historyFile);
    if (arg == "--log") return at.Value(&options->logFile);
    if (arg == "--capture") return at.Value(&options->captureFile);
    if (arg == "--direct") {
        options->direct = true;
    } else if (arg == "--auto-answer") {
        options->autoAnswer = true;
    } else {
        return at.Fail("unknown option '" + arg + "'");
    }
    return true;
}

int Check(const std::vector<std::string>& args) {
    if (args.size() != 2 && args.size() != 4) return Usage("check takes DIR [--driver N]");
    uint64_t driver = 1;
    if (args.size() == 4 && (args[2] != "--driver" || !ParseNumber(args[3], 99, &driver))) {
        return Usage("check takes DIR [--driver N], N from 0 to 99");
    }
    return station::CheckStation(args[1], static_cast<uint32_t>(driver), std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage("no directory given");
    if (args[0] == "--help" || args[0] == "-h") {
        std::cout << kUsageText;
        return 0;
    }
    if (args[0] == "--version") {
        std::cout << "teldrv-station " << TELDRV_VERSION << "\n";
        return 0;
    }
    try {
        if (args[0] == "check") return Check(args);
        station::RunOptions options;
        options.directory = args[0];
        for (size_t i = 1; i < args.size(); ++i) {
            std::string error;
            if (!ParseRunOption(args, &i, &options, &error)) return Usage(error);
        }
        if (options.mode == station::PortMode::None) return Usage("give --pty, --port PATH or --modem PORT");
        if (options.direct && options.mode == station::PortMode::Modem) return Usage("--direct has no modem to leave out with --modem");
        if (options.mode == station::PortMode::Modem && !options.captureFile.empty()) {
            return Usage("--capture sees the bytes of a simulated line, and with --modem the driver owns the port: "
                         "capture there with LINK_CAPTURE = NAME in the station's init file (docs/init-file.md); "
                         "this program keeps that file in the directory it was started from");
        }
        if (options.mode == station::PortMode::Modem && (options.modemSilent.from >= 0 || options.portAway.from >= 0)) {
            return Usage("--modem-silent and --port-away act on the simulated modem and line, not with --modem");
        }
        // The station runs in a scratch directory: a path given relative to
        // here is made whole first.
        if (options.port.find('/') != std::string::npos) options.port = std::filesystem::absolute(options.port).string();
        if (!options.captureFile.empty()) options.captureFile = std::filesystem::absolute(options.captureFile).string();
        options.simLibrary = tools::InstalledPath(argv[0], TELDRV_SIM_LIBRARY);
        options.nativeLibrary = tools::InstalledPath(argv[0], TELDRV_NATIVE_LIBRARY);
        return station::RunStation(options, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "teldrv-station: " << e.what() << "\n";
        return station::kCheckUsage;
    }
}
