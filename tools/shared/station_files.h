// A station's files as the user keeps them in a directory of their own, put
// into a scratch working directory for the driver: the init file under the
// name the driver opens, and the station gate file, binary or made from the
// text list teldrv-gates reads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tools/shared/gate_file.h"

namespace tools {

// The names the driver tries for its init file, in its order, each once
// (from 10 on, the first two tries are one name).
std::vector<std::string> InitFileNames(uint32_t driverNumber);
// The driver number that tries `name` ("TELDRV12.INT" and "TELDRV7.INT"
// give 12 and 7), or -1 (TELDRV.INT is tried by every number).
int InitFileDriverNumber(const std::string& name);

struct StationFiles {
    std::filesystem::path initFile;  // in the user's directory; empty: none found
    int station = -1;                // from the first STATION line; -1: none
    std::filesystem::path gateSource;  // NN_GATES.DAT or the text list; empty: none
    bool gateSourceIsList = false;
    std::vector<gatefile::GateEntry> gates;  // as the gate source lists them
    std::vector<std::string> warnings;      // duplicate gate names
};

// Finds the files in `directory`; false with *error when a gate list cannot
// be read or parsed.
bool FindStationFiles(const std::filesystem::path& directory, uint32_t driverNumber, StationFiles* files,
                      std::string* error);

// Makes a scratch directory holding the init file and NN_GATES.DAT; the
// caller removes it.
bool PrepareWorkDirectory(const StationFiles& files, std::filesystem::path* workDirectory, std::string* error);

// The driver's own captures (LINK_CAPTURE, and NAME.1) would go with the
// scratch directory `work`: they are copied into `keep`, each told on `err`
// with the program's name. A capture is told by the first bytes of a pcapng
// file.
void KeepDriverCaptures(const std::filesystem::path& work, const std::filesystem::path& keep, const char* program,
                        std::ostream& err);

// A file or directory of the build where it was built, else beside this
// program or one directory up (the archive keeps the tools one level below
// the driver and the examples), else its bare name for the loader to find.
std::string InstalledPath(const char* argv0, const std::string& built);

// The init file's MODEM_NUMBER lines as the driver takes them: by dial
// reference (1 to 254), numbers of at most 32 characters, a later line for a
// reference replacing an earlier one.
std::map<unsigned, std::string> ScanPhoneNumbers(const std::filesystem::path& initFile);

// The number that station `station` answers at on teldrv-central's simulated
// line: 03070000NN, the demo's station 7 at 0307000007.
std::string SimulatedPhoneNumber(int station);

}  // namespace tools
