#include "tools/central/tool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/error.h"
#include "platform/serial.h"
#include "platform/time.h"
#include "tools/central/codecs.h"
#include "tools/central/link.h"
#include "tools/shared/gate_file.h"
#include "tools/shared/line_capture_file.h"
#include "tools/shared/system.h"
#include "tools/shared/text.h"

namespace central {

using tools::Format;
using tools::Plural;

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
    std::vector<gatefile::GateEntry> list;
    if (!gatefile::ParseGateList(std::string(bytes.begin(), bytes.end()), path, &list, error)) return false;
    for (size_t k = 0; k < list.size(); ++k) (*gates)[static_cast<uint16_t>(k)] = {list[k].name, list[k].valueType};
    return true;
}

std::string PortFailure(PortResult result, uint32_t error, const std::string& port, uint32_t baud) {
    using enum PortResult;
    const std::string path = tools::PortDevicePath(port);
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
            if (tools::PortPermissionDenied(port)) {
                return "permission denied (" + path + "): the user needs read and write access, e.g. the dialout group";
            }
            return "in use by another program (a modem tool, getty or a second teldrv-central); end it first";
        case platform::kErrorInvalidFunction: return "not a serial port";
        case platform::kErrorInvalidParameter: return "line settings refused";
    }
    return Format("platform error %u (result %d)", error, static_cast<int>(result));
}


namespace {

// What RunTool checks and opens before the port: nothing here needs the station.
struct Prepared {
    std::map<uint16_t, GateInfo> gates;
    std::optional<unsigned> gatesStation;
    std::vector<Command> commands;
    std::map<std::string, std::ofstream> csvFiles;  // by path: one stream and header even when named twice
    tools::LineCaptureFile capture{platform::WallClockUs};
};

int PrepareWrite(const ToolOptions& options, Prepared* prepared, WriteRequest* write, std::ostream& err) {
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
    if (!options.captureFile.empty() &&
        !prepared->capture.Open(options.captureFile,
                                "teldrv link: outbound = central (teldrv-central on " + options.port +
                                    ") to station, inbound = station to central",
                                &why)) {
        err << "teldrv-central: " << why << '\n';
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
    using enum PortResult;
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

// The modem's side of the tool's options.
ModemOptions ModemOptionsOf(const ToolOptions& options) {
    ModemOptions modemOptions;
    modemOptions.carrierTimeoutMs = options.carrierTimeoutMs;
    modemOptions.settleMs = options.settleMs;
    modemOptions.ignoreCarrier = options.ignoreCarrier;
    modemOptions.stopRequested = StopRequested;
    return modemOptions;
}

// Dials when asked; without --dial the line is taken as connected.
int Connect(const ToolOptions& options, ModemDialogue& modem, std::ostream& err) {
    if (options.dial.empty()) return kExitOk;
    const int result = modem.Dial(options.dial);
    if (result == kExitOk) err << "connected to " << options.dial << '\n';
    return result;
}

// The link on the connection and the commands on it.
int RunOnLink(const ToolOptions& options, Prepared& prepared, platform::PortHandle port, std::ostream& out,
              std::ostream& err) {
    LinkOptions linkOptions;
    linkOptions.attempts = options.retries + 1;
    linkOptions.timeoutMs = options.timeoutMs;
    linkOptions.checkCarrier = !options.dial.empty() && !options.ignoreCarrier;
    linkOptions.trace = options.trace;
    linkOptions.stopRequested = StopRequested;
    Link link(port, linkOptions, err);
    const int result = RunCommands(options, prepared, link, out, err);
    if (link.repetitions() > 0) err << Plural(link.repetitions(), "request", "requests") << " sent again\n";
    return result;
}

// The capture is whole once the port is closed; a write that failed is told.
void CloseCapture(const ToolOptions& options, Prepared& prepared, std::ostream& err) {
    prepared.capture.Close();
    const std::string failure = prepared.capture.TakeFailure();
    if (!failure.empty()) {
        err << "teldrv-central: warning: the capture " << options.captureFile << " ends where a write failed: "
            << failure << '\n';
    }
}

// A dialled call ends here, unless --no-hangup keeps it and no Ctrl-C came.
void EndDialledCall(const ToolOptions& options, int result, ModemDialogue& modem, std::ostream& err) {
    if (options.dial.empty()) return;
    if (options.noHangUp && result != kExitInterrupted) {
        err << "--no-hangup: the call stays up\n";
    } else {
        modem.HangUp();
    }
}

}  // namespace

int RunTool(const ToolOptions& options, std::ostream& out, std::ostream& err) {
    Prepared prepared;
    int result = Prepare(options, &prepared, err);
    if (result != kExitOk) return result;
    platform::PortHandle port = platform::kInvalidPortHandle;
    result = OpenToolPort(options, &port, err);
    if (result != kExitOk) return result;
    if (prepared.capture.open()) platform::CommSetTap(port, prepared.capture.tap());
    ModemDialogue modem(port, ModemOptionsOf(options), err);
    result = Connect(options, modem, err);
    if (result == kExitOk) result = RunOnLink(options, prepared, port, out, err);
    EndDialledCall(options, result, modem, err);
    ClosePort(port);
    for (auto& [path, file] : prepared.csvFiles) file.close();
    CloseCapture(options, prepared, err);
    if (result != kExitOk) err << "teldrv-central: failed: " << ExitCodeName(result) << '\n';
    return result;
}

}  // namespace central
