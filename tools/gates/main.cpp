// teldrv-gates: makes, checks and shows station gate files for the people who
// configure remote stations.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "config/station_gates.h"
#include "driver/context.h"
#include "sim/korpro_sim.h"
#include "tools/shared/gate_file.h"
#include "tools/shared/text.h"

namespace {

namespace fs = std::filesystem;

// Exit codes.
constexpr int kOk = 0;
constexpr int kRefused = 1;  // the driver would not load the file
constexpr int kUsage = 2;    // bad arguments, unreadable or bad input
constexpr int kUnknownGates = 3;  // loads, but the host does not know some gates

constexpr char kUsageText[] =
    "usage: teldrv-gates make STATION LIST [OUTPUT]\n"
    "       teldrv-gates check FILE [HOST_GATES]\n"
    "       teldrv-gates dump FILE\n"
    "\n"
    "make   writes the station gate file for STATION (0 to 99) from LIST, a text\n"
    "       file with one gate a line: NAME VALUE_TYPE LEAD_BYTE (names of at most\n"
    "       31 characters, numbers 0 to 255, decimal or 0x hex; empty lines and\n"
    "       lines beginning with # are skipped). OUTPUT defaults to NN_GATES.DAT,\n"
    "       the name under which the driver opens it.\n"
    "check  loads FILE (named NN_GATES.DAT) with the driver's own reader and shows\n"
    "       what the driver would log. HOST_GATES lists the host's gates, one a\n"
    "       line as NAME or NAME ID; gates of FILE missing from it are reported.\n"
    "       Without it every gate of FILE counts as known to the host.\n"
    "dump   shows every field of FILE, however malformed.\n"
    "\n"
    "exit status: 0 done; 1 the driver would refuse the file; 2 bad arguments or\n"
    "input; 3 the file loads but the host does not know some of its gates\n";

int Usage(const std::string& problem) {
    std::cerr << "teldrv-gates: " << problem << " (teldrv-gates --help shows the usage)\n";
    return kUsage;
}

// A problem a line; a gate list may have several.
int Fail(const std::string& problems) {
    std::istringstream lines(problems);
    for (std::string line; std::getline(lines, line);) std::cerr << "teldrv-gates: " << line << "\n";
    return kUsage;
}

bool ReadText(const std::string& path, std::string* text, std::string* error) {
    std::vector<uint8_t> bytes;
    if (!gatefile::ReadBytes(path, &bytes, error)) return false;
    text->assign(bytes.begin(), bytes.end());
    return true;
}

// Shows a field's text with anything unprintable escaped.
std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return out;
}

int Make(const std::vector<std::string>& args) {
    if (args.size() < 2 || args.size() > 3) return Usage("make takes STATION LIST [OUTPUT]");
    uint64_t station = 0;
    if (!tools::ParseDecimal(args[0], 2, 99, &station)) {
        return Usage("station '" + args[0] + "' is not a number from 0 to 99");
    }
    std::string text, error;
    if (!ReadText(args[1], &text, &error)) return Fail(error);
    std::vector<gatefile::GateEntry> gates;
    std::vector<std::string> warnings;
    if (!gatefile::ParseGateList(text, args[1], &gates, &error, &warnings)) {
        Fail(error);
        return Fail(args[1] + ": nothing written; mend the lines above and run make again");
    }
    for (const std::string& warning : warnings) std::cerr << "teldrv-gates: warning: " << warning << "\n";

    const std::string fileName = gatefile::StationFileName(static_cast<unsigned>(station));
    const std::string output = args.size() == 3 ? args[2] : fileName;
    if (!gatefile::WriteBytes(output, gatefile::BuildGateFile(static_cast<uint8_t>(station), gates), &error)) {
        return Fail(error);
    }
    std::cout << "wrote " << output << ": station " << fileName.substr(0, 2) << ", " << gates.size() << " gates\n";
    if (fs::path(output).filename() != fileName) {
        std::cerr << "teldrv-gates: note: the driver opens this file only under the name " << fileName << "\n";
    }
    return kOk;
}

// The host's gates for check: the list given, or else every gate of the file
// itself, numbered from 0.
bool ReadHostGates(const std::vector<std::string>& args, std::vector<gatefile::HostGate>* hostGates,
                   std::string* error) {
    if (args.size() == 2) {
        std::string text;
        return ReadText(args[1], &text, error) && gatefile::ParseHostGateList(text, args[1], hostGates, error);
    }
    std::vector<uint8_t> bytes;
    if (!gatefile::ReadBytes(args[0], &bytes, error)) return false;
    const gatefile::DecodedFile file = gatefile::DecodeGateFile(bytes);
    for (size_t k = 0; k < file.gates.size(); ++k) {
        hostGates->push_back({file.gates[k].name, static_cast<uint16_t>(k)});
    }
    return true;
}

// What the driver made of a file it loads, and the gates the host does not know.
int ReportLoaded(const std::string& name, const std::string& fileName, StationContext& context) {
    size_t unknown = 0;
    for (uint16_t i = 0; i < context.stationGateCount; ++i) {
        if (context.stationGates[i].hostGateId == kUnknownHostGate) ++unknown;
    }
    std::cout << name << ": loads for station " << fileName.substr(0, 2) << ", " << context.stationGateCount
              << " gates, gate id map of " << context.gateIdMapSize
              << (context.gateIdMapSize == 1 ? " entry\n" : " entries\n");
    if (unknown > 0) {
        std::cout << unknown << " of " << context.stationGateCount << " gates unknown to the host:\n";
        for (uint16_t i = 0; i < context.stationGateCount; ++i) {
            if (context.stationGates[i].hostGateId == kUnknownHostGate) {
                std::cout << "  gate " << i << " '" << Printable(context.stationGates[i].name) << "'\n";
            }
        }
    }
    return unknown > 0 ? kUnknownGates : kOk;
}

int Check(const std::vector<std::string>& args) {
    if (args.empty() || args.size() > 2) return Usage("check takes FILE [HOST_GATES]");
    const fs::path path(args[0]);
    const std::string fileName = path.filename().string();
    unsigned station = 0;
    if (!gatefile::ParseStationFileName(fileName, &station)) {
        return Fail("'" + args[0] + "' is not named NN_GATES.DAT, and the driver opens no other name");
    }

    // Everything is read before changing to the file's directory, where the
    // driver's reader looks for it.
    std::string error;
    std::vector<gatefile::HostGate> hostGates;
    if (!ReadHostGates(args, &hostGates, &error)) return Fail(error);
    korpro_sim::Reset();
    for (const gatefile::HostGate& gate : hostGates) korpro_sim::DefineGate(gate.name, gate.id);

    std::error_code changed;
    if (path.has_parent_path()) fs::current_path(path.parent_path(), changed);
    if (changed) return Fail("cannot enter the directory of '" + args[0] + "': " + changed.message());

    StationContext context{};
    const StationDataResult result = ReadStationData(&context, static_cast<uint8_t>(station));
    for (const korpro_sim::LogLine& line : korpro_sim::Log()) std::cout << line.text << "\n";
    if (result != StationDataResult::kStationDataLoaded) {
        std::cout << args[0] << ": the driver refuses this file\n";
        return kRefused;
    }
    const int code = ReportLoaded(args[0], fileName, context);
    std::free(context.stationGates);
    std::free(context.gateIdMap);
    return code;
}

int Dump(const std::vector<std::string>& args) {
    if (args.size() != 1) return Usage("dump takes FILE");
    std::vector<uint8_t> bytes;
    std::string error;
    if (!gatefile::ReadBytes(args[0], &bytes, &error)) return Fail(error);
    const gatefile::DecodedFile file = gatefile::DecodeGateFile(bytes);
    std::cout << args[0] << ": " << bytes.size() << " bytes\n";
    if (!file.hasHeader) {
        std::cout << "no whole header record (" << file.trailingBytes << " of 68 bytes)\n";
        return kOk;
    }
    char station[8];
    std::snprintf(station, sizeof station, "%02u", unsigned{file.station});
    std::cout << "station " << station << ", internal name '" << Printable(file.internalName) << "'"
              << (file.internalNameEnded ? "" : " (no NUL in its 32 bytes)") << ", " << file.gateCount << " gates\n";
    for (size_t k = 0; k < file.gates.size(); ++k) {
        const gatefile::DecodedGate& gate = file.gates[k];
        char line[96];
        std::snprintf(line, sizeof line, "%5zu  gate nr %5u  value type %3u  lead byte %3u  ", k,
                      unsigned{gate.gateNumber}, unsigned{gate.valueType}, unsigned{gate.leadByte});
        std::cout << line << "'" << Printable(gate.name) << "'" << (gate.nameEnded ? "" : " (no NUL in its 32 bytes)")
                  << (gate.gateNumber == k ? "" : "  <- gate nr differs from its place") << "\n";
    }
    if (file.gates.size() < file.gateCount) {
        std::cout << "missing: gate records " << file.gates.size() << " to " << file.gateCount - 1 << "\n";
    }
    if (file.extraRecords > 0) std::cout << file.extraRecords << " records after the last gate, not read\n";
    if (file.trailingBytes > 0) std::cout << file.trailingBytes << " bytes after the last whole record\n";
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    // Run bare, it shows what it does.
    if (argc < 2) {
        std::cerr << kUsageText;
        return kUsage;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            std::cout << kUsageText;
            return kOk;
        }
        if (word == "--version") {
            std::cout << "teldrv-gates " << TELDRV_VERSION << '\n';
            return kOk;
        }
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    try {
        if (command == "make") return Make(args);
        if (command == "check") return Check(args);
        if (command == "dump") return Dump(args);
        if (command == "help") {
            std::cout << kUsageText;
            return kOk;
        }
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    return Usage("unknown command '" + command + "'");
}
