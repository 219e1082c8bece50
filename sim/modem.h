// A Hayes-compatible modem on the far end of a simulated line: the rig for
// every modem, call and link test and for the demo.
//
// Command mode: the modem echoes what the port types (E1), collects a line
// up to CR, runs the "AT" command line that it holds and answers with a
// result code: "\r\nOK\r\n", "\r\nERROR\r\n" ... (V1), digits such as "0\r"
// (V0), or nothing (Q1). Characters before "AT" are dropped, so a stray
// "+++" in command mode is only noise. Commands: A, D[T|P]<number>, E, H,
// I, L, M, O, Q, S<n>=<v>, S<n>?, V, X, Z, &C, &D, &F, &K, &W; unknown
// commands give ERROR.
//
// Calls: ATD looks the number up among the registered numbers (digits, '*'
// and '#' count; spaces, dashes and the like do not). An answering party is
// connected after the connect delay: the carrier (DCD) comes up, "CONNECT"
// goes to the port and the party's Connected is called; from then on bytes
// pass transparently both ways (data mode). A busy number gives "BUSY", an
// unknown or unanswered one "NO CARRIER" after S7 seconds; any character
// typed while dialling aborts the dial with "NO CARRIER". Ring() offers an
// incoming call: "RING" every ring period, answered at ring S0 when S0 > 0
// (or by ATA) while DTR is high.
//
// Leaving data mode: "+++" with the guard time (S12, 1 s) of silence before
// and after it returns to command mode with "OK" and the carrier kept (ATO
// goes back on line, ATH hangs up); a DTR drop hangs up (&D2, the default;
// &D0 and &D1 ignore DTR); DropCarrier() is a lost line; the party may hang up.
// Each end of a call drops DCD, sends "NO CARRIER" unless ATH or ATZ ended
// it, and calls the party's Disconnected (also when the party hung up
// itself, or when an incoming caller gives up unanswered).
//
// Time: the modem keeps a thread of its own in the clock, so its delays
// (connect, rings, guard times) fall at their exact virtual times whether or
// not the port calls in meanwhile; and it catches up whenever the port looks
// at the line, so an event due at the moment of a read is always seen. A
// switched-off modem (faults.dead) still lets an incoming caller ring on.
//
// Locking: all state is guarded by the world lock. Methods without a lock
// argument take it themselves and must not be called with it held (from
// Party callbacks, use the WorldLock& overloads).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sim/line.h"
#include "sim/party.h"
#include "sim/world.h"

namespace sim {

// The stored profile: what the modem starts with and ATZ / AT&F restore.
struct ModemProfile {
    bool echo = true;                 // E1
    bool verbose = true;              // V1: result codes as words; V0: digits
    bool quiet = false;               // Q1: no result codes at all
    bool dtrDropHangsUp = true;       // &D2; false: &D0, DTR ignored
    uint8_t autoAnswerRings = 0;      // S0: 0 never answers by itself
    uint8_t carrierWaitSeconds = 50;  // S7: a dial nobody answers ends after this
    uint8_t guardFiftieths = 50;      // S12: escape guard time in 1/50 s
};

// Delays of the telephone network around the modem, in milliseconds.
struct ModemTiming {
    int64_t connectMs = 8000;     // ATD to CONNECT with an answering party
    int64_t busyMs = 3000;        // ATD to BUSY
    int64_t ringPeriodMs = 6000;  // from one RING to the next
    int64_t answerMs = 2000;      // from answering to CONNECT
};

struct ModemFaults {
    bool dead = false;          // switched off: no echo, no replies, no calls, no carrier
    bool errorReplies = false;  // every command line is answered ERROR and does nothing
};

// What a registered number does when dialled.
enum class DialAnswer { Answer, Busy, NoAnswer };

enum class ModemState {
    Command,        // off line, taking commands
    Dialing,        // ATD given, waiting for the far end
    Answering,      // an incoming call answered, carrier not yet up
    Data,           // on line, bytes pass through
    OnlineCommand,  // on line after "+++", taking commands
};

enum class ModemEventKind {
    Command,       // a command line (text without its CR; reply = what the modem answered)
    Escape,        // "+++" recognised in data mode (reply "OK")
    DtrLow,
    DtrHigh,
    Ring,          // an incoming call rang (text = ring number)
    Connect,       // the carrier came up (text = the party's number, or "incoming")
    Busy,          // a dial ended busy
    NoCarrier,     // a dial ended unanswered or aborted
    HangUp,        // a call ended (text says how: "ATH", "ATZ", "DTR", "party", "line lost", "switched off")
    CallerGaveUp,  // an incoming call stopped ringing unanswered
    CallRefused,   // an incoming call found the modem busy
};

struct ModemEvent {
    int64_t timeMs;
    ModemEventKind kind;
    std::string text;
    std::string reply;  // bytes the modem sent to the port for it, echo excluded
};

class SIM_API Modem : public LinePeer, public Connection {
public:
    // Attaches to the line's far end; detaches on destruction (the party of
    // a call still standing then is not told).
    explicit Modem(Line& line, const ModemProfile& profile = {}, const ModemTiming& timing = {});
    ~Modem() override;
    Modem(const Modem&) = delete;
    Modem& operator=(const Modem&) = delete;

    // Numbers that ATD reaches. The party may be null for Busy and NoAnswer.
    void Register(const std::string& number, Party* party, DialAnswer answer = DialAnswer::Answer);
    void Unregister(const std::string& number);
    // The party every number reaches that is not registered (null: none).
    void RegisterAnyNumber(Party* party);

    // An incoming call from `caller`, which gives up after `maxRings` rings
    // unanswered. Refused at once (Disconnected) when the modem is in a call.
    void Ring(Party& caller, int maxRings = 10);
    void Ring(WorldLock& lock, Party& caller, int maxRings = 10);
    // The line is lost: carrier gone, "NO CARRIER" to the port, party told.
    void DropCarrier();
    void DropCarrier(WorldLock& lock);

    void SetFaults(const ModemFaults& faults);
    // A power dip: the modem starts again from its stored profile and so
    // forgets what the port set since (ATS0=1 among it); a call standing ends.
    void Restart();
    void SetTiming(const ModemTiming& timing);
    // Changes the stored profile and the current settings with it.
    void SetProfile(const ModemProfile& profile);

    ModemState State();
    bool Carrier();
    bool Echo();
    // S register n as it stands (S0: auto-answer rings), -1 for no such register.
    int SRegister(int n);
    std::vector<ModemEvent> Transcript();
    // The command lines received, in order.
    std::vector<std::string> Commands();

    // LinePeer
    void FromPort(WorldLock& lock, const uint8_t* data, size_t size) override;
    void DtrChanged(WorldLock& lock, bool dtr) override;
    bool CarrierDetect(const WorldLock& lock) override;
    void Poll(WorldLock& lock) override;
    // Connection: the party's side of a call.
    void SendToDriver(WorldLock& lock, const uint8_t* data, size_t size) override;
    void HangUp(WorldLock& lock) override;

private:
    struct Entry {
        Party* party;
        DialAnswer answer;
    };
    struct Incoming {
        Party* party = nullptr;
        int rings = 0;
        int maxRings = 0;
        int64_t nextRingMs = kForever;
    };
    enum class Result { Ok, Connect, Ring, NoCarrier, Error, Busy };

    void Run();
    void Changed(WorldLock& lock);
    int64_t NextDeadline() const;
    void CatchUp(WorldLock& lock);
    void ApplyProfile();

    void CommandBytes(WorldLock& lock, const uint8_t* data, size_t size);
    void DataBytes(WorldLock& lock, const uint8_t* data, size_t size);
    // Runs one "AT" line; gives what went to the port for it.
    std::string Execute(WorldLock& lock, const std::string& line);
    std::string ResultText(Result result) const;
    std::string Send(WorldLock& lock, const std::string& text);
    void Record(int64_t timeMs, ModemEventKind kind, const std::string& text, const std::string& reply = {});

    void StartDial(WorldLock& lock, const std::string& dialString);
    void DialDone(WorldLock& lock);
    void RingNow(WorldLock& lock);
    void StartAnswer(WorldLock& lock);
    void AnswerDone(WorldLock& lock);
    void GoOnLine(WorldLock& lock, Party* party, const std::string& who);
    // Ends a call or a call attempt; `result` is sent unless it is Ok.
    void EndCall(WorldLock& lock, const std::string& how, Result result);
    void CallerGivesUp(WorldLock& lock);

    Line& line_;
    ModemProfile profile_;
    ModemTiming timing_;
    ModemFaults faults_;
    std::map<std::string, Entry> numbers_;
    Party* anyNumber_ = nullptr;

    ModemState state_ = ModemState::Command;
    bool echo_ = true;
    bool verbose_ = true;
    bool quiet_ = false;
    bool dtrDropHangsUp_ = true;
    uint8_t s_[256] = {};
    bool dtr_ = true;

    std::string lineBuffer_;
    Party* party_ = nullptr;  // the far end of the call standing or being set up
    std::string dialed_;
    int64_t dialDueMs_ = kForever;
    DialAnswer dialAnswer_ = DialAnswer::NoAnswer;
    int64_t answerDueMs_ = kForever;
    Incoming incoming_;

    int64_t lastPortByteMs_ = 0;
    int64_t lastPlusMs_ = 0;
    int plusCount_ = 0;
    int64_t escapeDueMs_ = kForever;

    std::vector<ModemEvent> transcript_;
    uint64_t generation_ = 0;
    bool stop_ = false;
    std::thread clock_;
};

}  // namespace sim
