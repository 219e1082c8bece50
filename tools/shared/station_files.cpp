#include "tools/shared/station_files.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "config/line_scan.h"
#include "tools/shared/system.h"
#include "tools/shared/text.h"

namespace tools {

namespace fs = std::filesystem;

std::vector<std::string> InitFileNames(uint32_t driverNumber) {
    char twoDigits[32];
    char oneDigit[32];
    std::snprintf(twoDigits, sizeof twoDigits, "TELDRV%02u.INT", static_cast<unsigned>(driverNumber));
    std::snprintf(oneDigit, sizeof oneDigit, "TELDRV%01u.INT", static_cast<unsigned>(driverNumber));
    if (std::string(twoDigits) == oneDigit) return {twoDigits, "TELDRV.INT"};
    return {twoDigits, oneDigit, "TELDRV.INT"};
}

int InitFileDriverNumber(const std::string& name) {
    uint64_t number = 0;
    if (name.size() < 11 || name.rfind("TELDRV", 0) != 0 || !name.ends_with(".INT") ||
        !ParseDecimal(name.substr(6, name.size() - 10), 2, 99, &number)) {
        return -1;
    }
    return static_cast<int>(number);
}

namespace {

// The first STATION line the driver's own scanner takes, or -1.
int ScanStation(const fs::path& initFile) {
    std::ifstream in(initFile, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        line = UpperCase(line) + "\n";
        ScanValues values{};
        if (ScanLine(line.c_str(), " STATION = %u", &values) && values.numbers[0] <= 99) {
            return static_cast<int>(values.numbers[0]);
        }
    }
    return -1;
}

// A directory entry whose name matches `name` ignoring case.
fs::path FindIgnoringCase(const fs::path& directory, const std::string& name) {
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
        if (UpperCase(entry.path().filename().string()) == UpperCase(name)) return entry.path();
    }
    return {};
}

void DuplicateNameWarnings(StationFiles* files) {
    for (size_t k = 0; k < files->gates.size(); ++k) {
        for (size_t j = 0; j < k; ++j) {
            if (files->gates[j].name == files->gates[k].name) {
                files->warnings.push_back(files->gateSource.filename().string() + ": gate " + std::to_string(k) +
                                          " '" + files->gates[k].name + "' has the name of gate " +
                                          std::to_string(j));
                break;
            }
        }
    }
}

}  // namespace

bool FindStationFiles(const fs::path& directory, uint32_t driverNumber, StationFiles* files, std::string* error) {
    for (const std::string& name : InitFileNames(driverNumber)) {
        if (fs::is_regular_file(directory / name)) {
            files->initFile = directory / name;
            break;
        }
    }
    if (files->initFile.empty()) return true;
    files->station = ScanStation(files->initFile);
    if (files->station < 0) return true;

    const std::string binaryName = gatefile::StationFileName(static_cast<unsigned>(files->station));
    if (fs::is_regular_file(directory / binaryName)) {
        files->gateSource = directory / binaryName;
        std::vector<uint8_t> bytes;
        if (!gatefile::ReadBytes(files->gateSource.string(), &bytes, error)) return false;
        for (const gatefile::DecodedGate& gate : gatefile::DecodeGateFile(bytes).gates) {
            files->gates.push_back({gate.name, gate.valueType, gate.leadByte});
        }
        DuplicateNameWarnings(files);
        return true;
    }
    files->gateSource = FindIgnoringCase(directory, binaryName.substr(0, 2) + "_gates.txt");
    if (files->gateSource.empty()) return true;
    files->gateSourceIsList = true;
    std::vector<uint8_t> bytes;
    if (!gatefile::ReadBytes(files->gateSource.string(), &bytes, error)) return false;
    const std::string text(bytes.begin(), bytes.end());
    return gatefile::ParseGateList(text, files->gateSource.filename().string(), &files->gates, error,
                                   &files->warnings);
}

bool PrepareWorkDirectory(const StationFiles& files, fs::path* workDirectory, std::string* error) {
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    std::error_code failed;
    fs::path directory;
    for (int attempt = 0; attempt < 16; ++attempt) {
        directory = base / ("teldrv-station-" + std::to_string(random()));
        if (fs::create_directory(directory, failed)) break;
        directory.clear();
    }
    if (directory.empty()) {
        *error = "cannot make a working directory in " + base.string();
        return false;
    }
    *workDirectory = directory;
    if (!files.initFile.empty()) {
        fs::copy_file(files.initFile, directory / files.initFile.filename(), failed);
        if (failed) {
            *error = "cannot copy " + files.initFile.string() + ": " + failed.message();
            return false;
        }
    }
    if (files.gateSource.empty()) return true;
    const fs::path target = directory / gatefile::StationFileName(static_cast<unsigned>(files.station));
    if (!files.gateSourceIsList) {
        fs::copy_file(files.gateSource, target, failed);
        if (failed) *error = "cannot copy " + files.gateSource.string() + ": " + failed.message();
        return !failed;
    }
    return gatefile::WriteBytes(target.string(),
                                gatefile::BuildGateFile(static_cast<uint8_t>(files.station), files.gates), error);
}

std::string InstalledPath(const char* argv0, const std::string& built) {
    std::error_code failed;
    if (fs::path(built).is_absolute() && fs::exists(built, failed)) return built;
    const fs::path here = ProgramDirectory(argv0);
    const fs::path name = fs::path(built).filename();
    for (const fs::path& candidate : {here / name, here.parent_path() / name}) {
        if (fs::exists(candidate, failed)) return candidate.string();
    }
    return name.string();
}

std::map<unsigned, std::string> ScanPhoneNumbers(const fs::path& initFile) {
    std::map<unsigned, std::string> numbers;
    std::ifstream in(initFile, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        line = UpperCase(line) + "\n";
        ScanValues values{};
        if (!ScanLine(line.c_str(), "MODEM_NUMBER %u = %s", &values)) continue;
        if (values.numbers[0] >= 1 && values.numbers[0] <= 254 && std::strlen(values.text) <= 32) {
            numbers[values.numbers[0]] = values.text;
        }
    }
    return numbers;
}

std::string SimulatedPhoneNumber(int station) { return Format("03070000%02d", station); }

void KeepDriverCaptures(const fs::path& work, const fs::path& keep, const char* program, std::ostream& err) {
    std::error_code failed;
    for (const fs::directory_entry& entry : fs::directory_iterator(work, failed)) {
        char magic[4] = {};
        std::ifstream(entry.path(), std::ios::binary).read(magic, sizeof magic);
        if (std::memcmp(magic, "\x0A\x0D\x0D\x0A", sizeof magic) != 0) continue;
        const fs::path target = keep / entry.path().filename();
        fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing, failed);
        err << program << ": the station's capture " << (failed ? "could not be kept as " : "kept as ")
            << target.string() << (failed ? ": " + failed.message() : "") << "\n";
    }
}

}  // namespace tools
