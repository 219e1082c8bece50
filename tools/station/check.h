// teldrv-station check: the driver's own init-file and gate-file readers on
// a user's directory, what they log, a summary of what the driver will use,
// and warnings about what it accepts silently but was probably not meant.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

struct StationContext;

namespace station {

enum CheckResult : int {
    kCheckGood = 0,
    kCheckRefused = 1,   // the driver refuses something, or would not start
    kCheckUsage = 2,     // bad arguments, unreadable files
    kCheckWarnings = 3,  // accepted, with warnings
};

// One line of the summary: label and value. New init-file keywords add
// their rows in SummaryRows.
using SummaryRow = std::pair<std::string, std::string>;
std::vector<SummaryRow> SummaryRows(const StationContext& ctx);

// Warnings about the init file's text: values followed by more text, which
// the driver drops. `text` is the file's contents, `name` its name.
std::vector<std::string> InitFileTextWarnings(const std::string& text, const std::string& name);
// Characters in a phone number that a modem does not dial.
std::string UndialableCharacters(const std::string& number);

CheckResult CheckStation(const std::filesystem::path& directory, uint32_t driverNumber, std::ostream& out,
                         std::ostream& err);

}  // namespace station
