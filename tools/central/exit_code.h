// teldrv-central's exit codes: what failed.
#pragma once

namespace central {

enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,       // bad command line
    kExitPort = 2,        // port not opened, or the modem does not take commands
    kExitNoCarrier = 3,   // the call did not come up, or the line was lost
    kExitNoAnswer = 4,    // the station did not answer a request at all
    kExitRejected = 5,    // the station refused a request (0x40 or a failure status)
    kExitBadFrame = 6,    // answers came, but none of them was a good frame
    kExitFile = 7,        // gate file or CSV file
    kExitWrongStation = 8,   // the --gates file is of another station than the one that answered
    kExitNoRing = 9,         // --answer: no call rang within --answer-timeout
    kExitInterrupted = 130,  // Ctrl-C or SIGTERM: the call was ended and the files closed
};

inline const char* ExitCodeName(int code) {
    switch (code) {
        case kExitOk: return "done";
        case kExitUsage: return "usage";
        case kExitPort: return "port or modem";
        case kExitNoCarrier: return "no carrier";
        case kExitNoAnswer: return "no answer";
        case kExitRejected: return "rejected request";
        case kExitBadFrame: return "bad frame";
        case kExitFile: return "file";
        case kExitWrongStation: return "wrong station";
        case kExitNoRing: return "no ring";
        case kExitInterrupted: return "interrupted";
    }
    return "?";
}

}  // namespace central
