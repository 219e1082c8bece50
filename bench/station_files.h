// A working directory with a full init file "TELDRV01.INT" and a station gate
// file of `gates` gates whose names the simulated host knows (host ids 1 up).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/korpro_sim.h"
#include "tools/shared/gate_file.h"

namespace bench {

namespace fs = std::filesystem;

constexpr uint8_t kStation = 7;
constexpr unsigned kBufferRecords = 4096;

// Every keyword, and every dial reference with a number.
inline std::string FullInitFile() {
    std::string text = "STATION = 7\nONLINE_GATE_BUFFER = " + std::to_string(kBufferRecords) +
                       "\nCOM_TIMEOUT = 10\nALERTS = 2 , 3 , 4\nMODEM_RESET = ATZ\n"
                       "MODEM_DIAL_PREFIX = ATDT\nMODEM_AUTO_ANSWER = ATS0=1\nMODEM_DIAL_TIMEOUT = 45\n"
                       "MODEM_DIAL_RETRIES = 3\nMODEM_DIAL_RETRY_TIME_SEC = 30\n";
    for (unsigned reference = 1; reference <= 254; ++reference) {
        text += "MODEM_NUMBER " + std::to_string(reference) + " = 0301" + std::to_string(100000 + reference) + "\n";
    }
    return text;
}

class StationFiles {
public:
    explicit StationFiles(unsigned gates) {
        oldDirectory_ = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "teldrv-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        directory_ = pattern;
        fs::current_path(directory_);
        std::vector<gatefile::GateEntry> entries;
        entries.reserve(gates);
        for (unsigned i = 0; i < gates; ++i) {
            const std::string name = "GATE_" + std::to_string(i);
            korpro_sim::DefineGate(name, static_cast<uint16_t>(i + 1));
            entries.push_back({name, static_cast<uint8_t>(i % 7), 0});
        }
        std::string error;
        gatefile::WriteBytes(gatefile::StationFileName(kStation), gatefile::BuildGateFile(kStation, entries), &error);
        const std::string init = FullInitFile();
        gatefile::WriteBytes("TELDRV01.INT", std::vector<uint8_t>(init.begin(), init.end()), &error);
    }
    ~StationFiles() {
        fs::current_path(oldDirectory_);
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
    StationFiles(const StationFiles&) = delete;
    StationFiles& operator=(const StationFiles&) = delete;

private:
    fs::path oldDirectory_;
    fs::path directory_;
};

}  // namespace bench
