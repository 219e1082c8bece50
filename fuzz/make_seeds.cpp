// Writes the seed corpora of the fuzz targets from our own encoders: frames
// of every request as the central station sends them, init files with every
// keyword, and station gate files made by the gate file writer.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/central.h"
#include "sim/central_history.h"
#include "sim/central_online.h"
#include "tools/shared/gate_file.h"

namespace {

namespace fs = std::filesystem;
using sim::Bytes;

void Write(const fs::path& dir, const std::string& name, const Bytes& bytes) {
    fs::create_directories(dir);
    FILE* file = std::fopen((dir / name).c_str(), "wb");
    if (!file) return;
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Frames(const std::vector<Bytes>& bodies) {
    Bytes out;
    uint16_t tag = 0x0100;
    for (const Bytes& body : bodies) {
        const Bytes frame = sim::EncodeFrame("FEC", tag++, body);
        out.insert(out.end(), frame.begin(), frame.end());
    }
    return out;
}

}  // namespace

using gatefile::BuildGateFile;
using gatefile::GateEntry;

int main(int argc, char** argv) {
    const fs::path root = argc > 1 ? argv[1] : "fuzz/corpus";
    const platform::SystemTime utc{2026, 12, 1, 7, 22, 30, 15, 250};

    const fs::path session = root / "fuzz_session";
    Write(session, "station", Frames({sim::StationRequest()}));
    Write(session, "clock", Frames({sim::SyncClockRequest(utc)}));
    Write(session, "hangup", Frames({sim::HangUpRequest()}));
    Write(session, "online", Frames({sim::StartOnlineRequest(), sim::ContOnlineRequest(1),
                                     sim::ContOnlineWriteRequest(2, 0, sim::WriteValue16(5)),
                                     sim::ContOnlineRequest(2), sim::HangUpRequest()}));
    Write(session, "history", Frames({sim::StartHistoryRequest(0), sim::ContHistoryRequest(1),
                                      sim::ContHistoryRequest(1), sim::ContHistoryRequest(2)}));
    Write(session, "rejected", Frames({{0x53, 0x00}, {0x44}, Bytes(16, 0x43), {0x4F, 0}, {0x4D, 1, 2, 3}}));

    const fs::path init = root / "fuzz_init_file";
    Write(init, "every-keyword",
          Text("; station 1\nSTATION = 1\nONLINE_GATE_BUFFER = 200\nCOM_TIMEOUT = 12\nALERTS = 3, 500, 20\n"
               "MODEM_NUMBER 1 = 0201234567\nMODEM_NUMBER 254 = 0307654321\nMODEM_RESET = AT&F\n"
               "MODEM_DIAL_PREFIX = ATDP\nMODEM_AUTO_ANSWER = ATS0=2\nMODEM_DIAL_TIMEOUT = 60\n"
               "MODEM_DIAL_RETRIES = 5\nMODEM_DIAL_RETRY_TIME_SEC = 120\n"));
    Write(init, "lower-case-no-blanks", Text("station=1\nalerts=5,50000,50000\nmodem_number 3=555\n  STATION=2\n"));
    Bytes withGates = Text("STATION = 1\n");
    withGates.push_back(0x00);
    withGates.push_back(0xFF);
    const Bytes gateFile = BuildGateFile(1, {{"GATE_A", 1, 0}, {"GATE_B", 3, 7}, {"UNKNOWN", 0, 0}});
    withGates.insert(withGates.end(), gateFile.begin(), gateFile.end());
    Write(init, "station-with-gates", withGates);

    const fs::path gates = root / "fuzz_station_gates";
    std::vector<GateEntry> twelve;
    for (int i = 0; i < 12; ++i) twelve.push_back({"G" + std::to_string(i * 3), static_cast<uint8_t>(i % 8), 0});
    Write(gates, "twelve-gates", BuildGateFile(5, twelve));
    Write(gates, "no-gates", BuildGateFile(5, {}));

    Write(root / "fuzz_change_buffer", "mixed", Bytes{8, 16, 1, 0, 2, 0, 3, 1, 5, 1, 9, 9, 9, 9, 1, 2, 3, 4, 5, 6, 7,
                                                      8, 0, 10, 1, 2, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 64});
    Write(root / "fuzz_history", "batches", Bytes{8, 0, 1, 0, 2, 1, 0, 0, 3, 4, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                                 13, 14, 15, 16, 17, 0, 5, 0, 1, 1, 2, 2, 2, 3});
    std::printf("seeds written under %s\n", root.c_str());
    return 0;
}
