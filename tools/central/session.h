// teldrv-central's command session: the commands run one after the other on
// one connection (station, clock, online, history, hang-up), their requests
// through the link, their results and their CSV output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <string>

#include "tools/central/command_line.h"
#include "tools/central/link.h"

namespace central {

// A station gate as the tool shows and writes it.
struct GateInfo {
    std::string name;
    std::optional<uint8_t> valueType;
};

constexpr const char* kCsvHeader = "gate,name,time,milliseconds,status,value,payload\n";

// Ctrl-C: safe to call from a signal handler. The running command stops at
// its next request, the call is ended and the files closed.
void RequestStop();
bool StopRequested();
void ClearStop();

// What one run of the commands needs.
class Session {
public:
    Session(const ToolOptions& options, Link& link, std::ostream& report, std::ostream& err,
            const std::map<uint16_t, GateInfo>& gates, std::optional<unsigned> gatesStation,
            std::map<std::string, std::ofstream>& csvFiles, std::ostream& stdoutCsv)
        : options_(options), link_(link), out_(report), err_(err), gates_(gates), gatesStation_(gatesStation),
          csvFiles_(csvFiles), stdoutCsv_(stdoutCsv) {}

    // kExitOk, or the code of what failed; `fatal` says the connection is of no further use.
    int Run(const Command& command, bool* fatal);
    // The station still holds the call: it has not taken FE_REQ_HANG_UP.
    bool callUp() const { return callUp_; }
    // FE_REQ_HANG_UP at the end of the command list or after Ctrl-C.
    int EndCall();

private:
    std::ostream& Error();
    int Ask(const Bytes& request, Bytes* response, bool* fatal);
    std::string Sends() const;
    std::string GateName(uint16_t gate) const;

    int Station(bool* fatal);
    int Clock(const Command& command, bool* fatal);
    int Online(const Command& command, bool* fatal);
    void PrintChange(const uint8_t* record, std::ostream* csv);
    void AddWrite(const WriteRequest& write, Bytes* request);
    void ReportWrite(const WriteRequest& write, uint8_t status);
    int History(const Command& command, bool* fatal);
    int PullHistory(std::ostream& csv, size_t* records, bool* fatal);
    void WriteRecords(const Bytes& response, size_t count, std::ostream& csv);
    void Progress(size_t records, int answers, uint64_t startMs);
    int HangUp(bool* fatal);

    const ToolOptions& options_;
    Link& link_;
    std::ostream& out_;
    std::ostream& err_;
    const std::map<uint16_t, GateInfo>& gates_;
    std::optional<unsigned> gatesStation_;
    std::map<std::string, std::ofstream>& csvFiles_;
    std::ostream& stdoutCsv_;
    std::optional<int64_t> lastRecord_;
    bool callUp_ = true;
    bool progressShown_ = false;
};

}  // namespace central
