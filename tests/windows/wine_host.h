// The Windows host program (call_host.cpp) under Wine, as the Linux side of
// the call tests drives it: started in its run directory with the modem-line
// shim preloaded, then one command at a time over a pipe. What the host saw
// comes back in the simulated host runtime's own record types.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/time.h"
#include "sim/korpro_alerts.h"
#include "sim/korpro_online.h"
#include "sim/korpro_sim.h"

namespace wine_test {

struct WineSetup {
    std::string runDirectory;  // the host's working directory: its program, teldrv.dll, the host runtime DLLs
    std::string hostProgram;   // file name in runDirectory
    std::string shim;          // the 32-bit modem-line library
    std::string wine;          // the Wine loader
    std::string prefix;        // the Wine prefix, with dosdevices/

    // From the variables the test script sets; *missing names what is not set.
    static WineSetup FromEnvironment(std::string* missing);
};

// Wine's port `name` ("com5") becomes `device`.
void MapComPort(const WineSetup& setup, const std::string& name, const std::string& device);

// One SetSystemTime call the driver made: the fields it passed, and the
// error the call gave (0: accepted).
struct ClockCall {
    uint32_t error = 0;
    platform::SystemTime utc{};
};

class WineHost {
public:
    // Throws std::runtime_error when the host does not come up; Wine's own
    // messages go to stderrFile.
    WineHost(const WineSetup& setup, const std::string& ptyPath, const std::string& linesFile,
             const std::string& stderrFile);
    ~WineHost();
    WineHost(const WineHost&) = delete;
    WineHost& operator=(const WineHost&) = delete;

    // The answer's lines; throws when none comes whole within timeoutMs.
    std::vector<std::string> Command(const std::string& line, int timeoutMs = 30000);
    // A command answered "result R": R.
    int32_t Result(const std::string& line, int timeoutMs = 30000);

    // Every line the driver has logged so far.
    const std::vector<korpro_sim::LogLine>& Log();
    std::vector<korpro_sim::GateValueWrite> GateValueWrites();
    std::vector<korpro_sim::GateRequest> GateRequests();
    std::vector<korpro_sim::Alert> Alerts();
    std::vector<ClockCall> ClockCalls();

private:
    bool ReadLine(std::string* line, int timeoutMs);

    pid_t pid_ = -1;
    int toHost_ = -1;
    int fromHost_ = -1;
    std::string input_;
    std::vector<korpro_sim::LogLine> log_;
};

}  // namespace wine_test
