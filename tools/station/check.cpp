#include "tools/station/check.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "config/init_file.h"
#include "config/line_scan.h"
#include "config/remote_access.h"
#include "config/station_gates.h"
#include "driver/context.h"
#include "host/records.h"
#include "sim/korpro_sim.h"
#include "tools/shared/station_files.h"
#include "tools/shared/text.h"

namespace station {

namespace fs = std::filesystem;

namespace {

// The init file's keyword lines as the driver's reader matches them, tried
// in the same order.
// Dial digits, tone and pulse selection, pauses, waits and flash; dashes and
// brackets are formatting every modem skips.
constexpr char kDialable[] = "0123456789*#ABCDPTW,!@;-()";

// What follows the value the driver took from a line that matched `pattern`.
std::string TextAfterValue(const std::string& line, const char* pattern, const ScanValues& values) {
    if (std::strstr(pattern, "%s") == nullptr) {
        // Number patterns end with their numbers, after the "=".
        const size_t after = line.find_first_not_of(" \t0123456789,", line.find('=') + 1);
        return after == std::string::npos ? std::string() : tools::Trimmed(line.substr(after));
    }
    const size_t at = line.find(values.text, line.find('='));
    return at == std::string::npos ? std::string() : tools::Trimmed(line.substr(at + std::strlen(values.text)));
}

std::string StoredValue(const char* pattern, const ScanValues& values) {
    if (std::strstr(pattern, "%s") != nullptr) return values.text;
    if (std::strncmp(pattern, "ALERTS", 6) == 0) {
        return std::to_string(values.numbers[0]) + ", " + std::to_string(values.numbers[1]) + ", " +
               std::to_string(values.numbers[2]);
    }
    return std::to_string(values.numbers[0]);
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace

std::vector<std::string> InitFileTextWarnings(const std::string& text, const std::string& name) {
    std::vector<std::string> warnings;
    std::istringstream in(text);
    unsigned lineNumber = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        line = tools::UpperCase(line) + "\n";
        const char* pattern = nullptr;
        for (unsigned index = 0; (pattern = InitFilePattern(index)) != nullptr; ++index) {
            ScanValues values{};
            if (!ScanLine(line.c_str(), pattern, &values)) continue;
            // The driver takes the whole list after the "=".
            if (std::strncmp(pattern, "REMOTE_WRITE", 12) == 0) break;
            const std::string rest = TextAfterValue(line, pattern, values);
            if (!rest.empty()) {
                warnings.push_back(name + ":" + std::to_string(lineNumber) + ": " + Quoted(tools::Trimmed(line)) +
                                   ": the driver stores " + Quoted(StoredValue(pattern, values)) + " and ignores " +
                                   Quoted(rest));
            }
            break;
        }
    }
    return warnings;
}

std::string UndialableCharacters(const std::string& number) {
    std::string bad;
    for (char c : number) {
        if (std::strchr(kDialable, c) == nullptr && bad.find(c) == std::string::npos) bad += c;
    }
    return bad;
}

namespace {

void AddRemoteAccessRows(const StationContext& ctx, std::vector<SummaryRow>* rows) {
    const RemoteAccess* access = ctx.optIn != nullptr ? &ctx.optIn->remoteAccess : nullptr;
    std::string writes = "every station gate";
    if (access != nullptr && access->writeListed) {
        writes = access->nameCount == 0 ? "none" : "";
        for (uint16_t i = 0; i < access->nameCount; ++i) {
            writes += (i == 0 ? "" : ", ") + std::string(access->names[i].name);
        }
    }
    rows->emplace_back("remote writes", writes);
    rows->emplace_back("clock set by the central", access != nullptr && access->clockLimited
                                                      ? "steps of at most " + std::to_string(access->clockMaxStep) + " s"
                                                      : "any step");
}

// MODEM_CHECK_MIN and PORT_REOPEN_SEC, as the driver will act on them.
void AddSupervisionRows(const StationContext& ctx, std::vector<SummaryRow>* rows) {
    const unsigned minutes = ctx.optIn != nullptr ? ctx.optIn->supervision.modemCheckMin : 0;
    const unsigned seconds = ctx.optIn != nullptr ? ctx.optIn->supervision.portReopenSec : 0;
    rows->emplace_back("modem check",
                       minutes != 0 ? "every " + std::to_string(minutes) + " min, alert after 3 failed checks" : "off");
    rows->emplace_back("port lost", seconds != 0 ? "reopened every " + std::to_string(seconds) + " s" : "off");
}

// LINK_CAPTURE and LINK_CAPTURE_KB, as the driver will write them.
void AddLinkCaptureRow(const StationContext& ctx, std::vector<SummaryRow>* rows) {
    const LinkCapture* capture = ctx.optIn != nullptr ? &ctx.optIn->linkCapture : nullptr;
    if (capture == nullptr || capture->name[0] == '\0') {
        rows->emplace_back("line capture", "off");
        return;
    }
    const unsigned kilobytes = capture->kilobytes != 0 ? capture->kilobytes : kLinkCaptureDefaultKb;
    rows->emplace_back("line capture", std::string(capture->name) + " in the host's working directory, turned over to " +
                                           capture->name + ".1 at " + std::to_string(kilobytes) + " KB");
}

}  // namespace

std::vector<SummaryRow> SummaryRows(const StationContext& ctx) {
    std::vector<SummaryRow> rows;
    char station[8];
    std::snprintf(station, sizeof station, "%02u", unsigned{ctx.stationNumber});
    rows.emplace_back("station", ctx.stationNumber == 255 ? "not defined" : station);
    std::string gates = std::to_string(ctx.stationGateCount);
    for (uint16_t i = 0; i < ctx.stationGateCount && ctx.stationGates != nullptr; ++i) {
        gates += (i == 0 ? ": " : ", ") + std::string(ctx.stationGates[i].name);
    }
    rows.emplace_back("gates", gates);
    rows.emplace_back("on-line gate buffer", std::to_string(ctx.changeCapacity) + " records");
    rows.emplace_back("frame read time-out", std::to_string(ctx.comTimeout / 100) + " s");
    rows.emplace_back("alerts", "class " + std::to_string(ctx.alertClass) + ", severity " +
                                    std::to_string(ctx.alertSeverity) + ", zone " + std::to_string(ctx.alertZone));
    for (size_t reference = 1; reference < kPhoneNumberSlots; ++reference) {
        if (ctx.phoneNumbers[reference] == nullptr) continue;
        rows.emplace_back("dial reference " + std::to_string(reference),
                          Quoted(std::string(ctx.dialPrefix) + ctx.phoneNumbers[reference]) + " CR");
    }
    rows.emplace_back("modem reset", Quoted(ctx.modemResetCmd) + " CR");
    rows.emplace_back("auto answer on", Quoted(ctx.autoAnswerCmd) + " CR");
    rows.emplace_back("auto answer off", Quoted(ctx.noAnswerCmd) + " CR");
    rows.emplace_back("hang up", Quoted(ctx.hangUpCmd) + " CR");
    AddRemoteAccessRows(ctx, &rows);
    AddSupervisionRows(ctx, &rows);
    AddLinkCaptureRow(ctx, &rows);
    rows.emplace_back("alarm calls", std::to_string(ctx.dialRetries) + " attempts, " +
                                         std::to_string(ctx.dialRetryTime) + " s apart, " +
                                         std::to_string(ctx.dialTimeout) + " s for the carrier");
    return rows;
}

namespace {

// Driver log lines that say a value was taken but looks unwise; every other
// line of the readers means something was refused.
bool IsAdvisory(const std::string& line) {
    return line.find("is smaller than 100 records") != std::string::npos ||
           line.find("is bigger than 20 seconds") != std::string::npos;
}

void FreeContext(StationContext* ctx) {
    for (char*& number : ctx->phoneNumbers) std::free(number);
    std::free(ctx->stationGates);
    std::free(ctx->gateIdMap);
    ReleaseOptIn(ctx);
}

}  // namespace

namespace {

// The init files in `directory` that driver number `driverNumber` does not
// find: another number's, or named in lower case; what to do about each.
void ShowOtherInitFiles(const fs::path& directory, uint32_t driverNumber, std::ostream& out) {
    std::vector<std::string> hints;
    std::error_code failed;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory, failed)) {
        const std::string name = entry.path().filename().string();
        const std::string upper = tools::UpperCase(name);
        const int number = tools::InitFileDriverNumber(upper);
        if (number < 0 && upper != "TELDRV.INT") continue;
        std::string hint = name;
        if (name != upper) {
            hint += ": the driver opens " + upper + ", in upper case, and on Linux the case of a name counts: rename it";
        }
        if (number >= 0 && static_cast<uint32_t>(number) != driverNumber) {
            hint += (name != upper ? "; it is" : " is") + std::string(" the init file of driver number ") +
                    std::to_string(number) + ": pass --driver " + std::to_string(number);
        }
        if (hint != name) hints.push_back(hint);
    }
    std::sort(hints.begin(), hints.end());
    for (const std::string& hint : hints) out << hint << "\n";
}

// Which files the driver will find, as check shows them.
void ShowFiles(const fs::path& directory, uint32_t driverNumber, const tools::StationFiles& files, std::ostream& out) {
    if (files.initFile.empty()) {
        const std::vector<std::string> names = tools::InitFileNames(driverNumber);
        out << "no init file in " << directory.string() << " for driver number " << driverNumber
            << " (the driver looks for ";
        for (size_t k = 0; k < names.size(); ++k) out << (k == 0 ? "" : k + 1 < names.size() ? ", " : " and ") << names[k];
        out << ")\n";
        ShowOtherInitFiles(directory, driverNumber, out);
    } else {
        out << "init file " << files.initFile.string() << "\n";
    }
    if (files.gateSource.empty() && files.station >= 0) {
        out << "no gate file: neither " << gatefile::StationFileName(static_cast<unsigned>(files.station)) << " nor "
            << gatefile::StationFileName(static_cast<unsigned>(files.station)).substr(0, 2) << "_gates.txt in "
            << directory.string() << "\n";
    } else if (!files.gateSource.empty()) {
        out << "gate file " << files.gateSource.string()
            << (files.gateSourceIsList ? " (a list; made into the binary file)" : "") << "\n";
    }
}

// The driver's own readers on the files in the scratch directory `work`,
// with every gate known to the host; the directory is gone afterwards.
void ReadWithDriver(const tools::StationFiles& files, const fs::path& work, uint32_t driverNumber,
                    StationContext* ctx) {
    korpro_sim::Reset();
    for (size_t k = 0; k < files.gates.size(); ++k) korpro_sim::DefineGate(files.gates[k].name, static_cast<uint16_t>(k));
    const fs::path oldDirectory = fs::current_path();
    fs::current_path(work);
    SetContextDefaults(ctx);
    VpiCallBlock call{ctx, 1, driverNumber, 0, nullptr};
    ReadInitFile(&call);
    fs::current_path(oldDirectory);
    fs::remove_all(work);
}

// Edits (insert, delete, replace a character) that make `a` into `b`.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t replaced = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
            diagonal = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, replaced});
        }
    }
    return row[b.size()];
}

// A keyword line's form as the driver's pattern has it: "MODEM_NUMBER n = text".
std::string KeywordForm(const char* pattern) {
    std::string form = tools::Trimmed(pattern);
    for (size_t at; (at = form.find("%u")) != std::string::npos;) form.replace(at, 2, "n");
    for (size_t at; (at = form.find("%s")) != std::string::npos;) form.replace(at, 2, "text");
    return form;
}

// Settings the host gives the driver with its port, which people look for in
// the init file.
std::string PortSettingHint(const std::string& word) {
    std::string what;
    if (word.find("BAUD") != std::string::npos || word.find("SPEED") != std::string::npos) {
        what = "the baud rate is";
    } else if (word.find("PARITY") != std::string::npos || word.find("BITS") != std::string::npos) {
        what = "the data bits, stop bits and parity are";
    } else if (word.find("PORT") != std::string::npos || word.find("COM") == 0 || word.find("DEVICE") != std::string::npos) {
        what = "the port's name is";
    } else {
        return {};
    }
    return what + " not set in the init file: the host passes the port and its settings to the driver, so set "
                  "it in the driver instance's port parameters in the host (docs/installing.md, \"The port "
                  "settings the host passes\")";
}

// What to do about a line the driver found illegal.
std::string IllegalLineHint(const std::string& text) {
    const std::string line = tools::UpperCase(text);
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) return "a line of blanks is not an empty line: delete the blanks";
    if (line[first] == ';') return "a comment starts in the first column: delete the blanks before the ';'";
    const std::string word = line.substr(first, line.find_first_of(" \t=", first) - first);
    std::string nearest;
    size_t nearestDistance = std::string::npos;
    const char* pattern = nullptr;
    for (unsigned index = 0; (pattern = InitFilePattern(index)) != nullptr; ++index) {
        const std::string form = KeywordForm(pattern);
        const std::string keyword = form.substr(0, form.find(' '));
        if (keyword == word) {
            if (first > 0 && pattern[0] != ' ') return keyword + " must start in the first column";
            return "the driver takes this keyword as '" + form + "'";
        }
        const size_t distance = EditDistance(word, keyword);
        if (distance < nearestDistance) nearest = keyword, nearestDistance = distance;
    }
    if (nearestDistance <= std::max<size_t>(1, word.size() / 4)) return "did you mean " + nearest + "?";
    return PortSettingHint(word);
}

// Under a log line that names a line of the init file: that line, and for an
// illegal one what to do about it.
void ShowInitLine(const std::string& logText, const std::string& fileName, const std::vector<std::string>& lines,
                  std::ostream& out) {
    const size_t at = logText.rfind(" in '" + fileName + "'");
    size_t digits = at;
    while (digits > 0 && digits != std::string::npos && std::isdigit(static_cast<unsigned char>(logText[digits - 1]))) --digits;
    uint64_t number = 0;
    if (at == std::string::npos || digits < 5 || logText.compare(digits - 5, 5, "line ") != 0 ||
        !tools::ParseDecimal(logText.substr(digits, at - digits), 9, lines.size(), &number) || number == 0) {
        return;
    }
    const std::string& text = lines[number - 1];
    out << "       line " << number << ": '" << text.substr(0, text.find_last_not_of(" \t\r") + 1) << "'\n";
    if (logText.find("illegal line") == std::string::npos) return;
    const std::string hint = IllegalLineHint(lines[number - 1]);
    if (!hint.empty()) out << "       " << hint << "\n";
}

// The init file's lines as the driver numbers them.
std::vector<std::string> InitFileLines(const tools::StationFiles& files) {
    std::vector<std::string> lines;
    std::vector<uint8_t> bytes;
    std::string error;
    if (files.initFile.empty() || !gatefile::ReadBytes(files.initFile.string(), &bytes, &error)) return lines;
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The readers' log; true when a line of it says something was refused.
bool ShowDriverLog(const tools::StationFiles& files, std::ostream& out, std::vector<std::string>* warnings) {
    bool refused = false;
    const std::vector<std::string> lines = InitFileLines(files);
    out << "the driver logs:\n";
    for (const korpro_sim::LogLine& line : korpro_sim::Log()) {
        out << "  [" << line.level << "] " << line.text << "\n";
        ShowInitLine(line.text, files.initFile.filename().string(), lines, out);
        if (IsAdvisory(line.text)) {
            warnings->push_back("the driver warns: " + line.text);
        } else {
            refused = true;
        }
    }
    if (korpro_sim::Log().empty()) out << "  (nothing)\n";
    return refused;
}

// What the driver takes without a word but was probably not meant.
void AddSilentWarnings(const tools::StationFiles& files, const StationContext& ctx, std::vector<std::string>* warnings) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!files.initFile.empty() && gatefile::ReadBytes(files.initFile.string(), &bytes, &error)) {
        const std::vector<std::string> more =
            InitFileTextWarnings(std::string(bytes.begin(), bytes.end()), files.initFile.filename().string());
        warnings->insert(warnings->end(), more.begin(), more.end());
    }
    for (size_t reference = 1; reference < kPhoneNumberSlots; ++reference) {
        if (ctx.phoneNumbers[reference] == nullptr) continue;
        const std::string bad = UndialableCharacters(ctx.phoneNumbers[reference]);
        if (!bad.empty()) {
            warnings->push_back("MODEM_NUMBER " + std::to_string(reference) + " = " + ctx.phoneNumbers[reference] +
                                ": a modem does not dial " + Quoted(bad));
        }
    }
}

CheckResult ShowVerdict(bool refused, const std::vector<std::string>& warnings, std::ostream& out) {
    for (const std::string& warning : warnings) out << "warning: " << warning << "\n";
    if (refused) {
        out << "result: the driver refuses something above\n";
        return kCheckRefused;
    }
    out << (warnings.empty() ? "result: good\n" : "result: accepted, with warnings\n");
    return warnings.empty() ? kCheckGood : kCheckWarnings;
}

}  // namespace

CheckResult CheckStation(const fs::path& directory, uint32_t driverNumber, std::ostream& out, std::ostream& err) {
    if (!fs::is_directory(directory)) {
        err << "teldrv-station: " << directory.string() << " is not a directory\n";
        return kCheckUsage;
    }
    tools::StationFiles files;
    std::string error;
    if (!tools::FindStationFiles(directory, driverNumber, &files, &error)) {
        std::istringstream problems(error);  // a gate list's bad lines, one each
        for (std::string line; std::getline(problems, line);) err << "teldrv-station: " << line << "\n";
        return kCheckUsage;
    }
    fs::path work;
    if (!tools::PrepareWorkDirectory(files, &work, &error)) {
        err << "teldrv-station: " << error << "\n";
        if (!work.empty()) fs::remove_all(work);
        return kCheckUsage;
    }
    ShowFiles(directory, driverNumber, files, out);
    StationContext ctx{};
    ReadWithDriver(files, work, driverNumber, &ctx);
    std::vector<std::string> warnings = files.warnings;
    bool refused = ShowDriverLog(files, out, &warnings);
    AddSilentWarnings(files, ctx, &warnings);
    if (ctx.stationGates == nullptr || ctx.gateIdMap == nullptr) {
        out << "the driver will not start: station was not defined or not defined correctly\n";
        refused = true;
    }
    out << "summary:\n";
    for (const SummaryRow& row : SummaryRows(ctx)) out << "  " << row.first << ": " << row.second << "\n";
    FreeContext(&ctx);
    return ShowVerdict(refused, warnings, out);
}

}  // namespace station
