// Writes a station gate file from a gate list with the gates tool's own
// writer, on the build machine, so that the Windows archive carries an
// example gate file even where the tools are not built for Windows.
// Usage: write_gate_file STATION LIST OUTPUT
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/shared/gate_file.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "write_gate_file: usage: write_gate_file STATION LIST OUTPUT\n";
        return 2;
    }
    const int station = std::atoi(argv[1]);
    std::ifstream in(argv[2], std::ios::binary);
    if (station < 0 || station > 99 || !in) {
        std::cerr << "write_gate_file: cannot read " << argv[2] << " for station " << argv[1] << "\n";
        return 1;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<gatefile::GateEntry> gates;
    std::string error;
    if (!gatefile::ParseGateList(text.str(), argv[2], &gates, &error) ||
        !gatefile::WriteBytes(argv[3], gatefile::BuildGateFile(static_cast<uint8_t>(station), gates), &error)) {
        std::cerr << "write_gate_file: " << error << "\n";
        return 1;
    }
    return 0;
}
