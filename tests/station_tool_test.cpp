// teldrv-station as its users meet it: check on a directory of files, and a
// running station behind a real pseudo-terminal, dialled through the emulated
// modem by a central written here from the documented frame layout alone,
// polled by teldrv-central over --direct, calling out with an alarm, and
// talking to a modem scripted here in the driver's own dialogue.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/pcapng_read.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Generous: real-time exchanges on a loaded two-core machine.
constexpr auto kPatience = std::chrono::seconds(60);

const char* kInit =
    "STATION = 12\nONLINE_GATE_BUFFER = 200\nCOM_TIMEOUT = 5\nMODEM_NUMBER 1 = 0301234567\n"
    "MODEM_DIAL_RETRIES = 1\nMODEM_DIAL_TIMEOUT = 60\n";
const char* kGates = "LEVEL 2 0\nPUMP 1 0\n";

fs::path StationDir(const std::string& init, const std::string& gates, const std::string& gatesName = "12_gates.txt") {
    const fs::path dir = fs::temp_directory_path() / ("station-test-" + std::to_string(getpid()) + "-" +
                                                      std::to_string(Clock::now().time_since_epoch().count()));
    fs::create_directories(dir);
    std::ofstream(dir / "TELDRV01.INT") << init;
    if (!gates.empty()) std::ofstream(dir / gatesName, std::ios::binary) << gates;
    return dir;
}

int RunCheck(const fs::path& dir, std::string* output) {
    FILE* pipe = popen((std::string(TELDRV_STATION_TOOL) + " check " + dir.string() + " 2>&1").c_str(), "r");
    char buffer[4096];
    output->clear();
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output->append(buffer, got);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// teldrv-central with its output and error lines together; the exit status.
int RunCentral(const std::string& arguments, std::string* out) {
    FILE* pipe = popen((std::string(TELDRV_CENTRAL_TOOL) + " " + arguments + " 2>&1").c_str(), "r");
    char buffer[4096];
    out->clear();
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out->append(buffer, got);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StationCheck, GoodFilesRefusalsAndWarnings) {
    std::string out;
    EXPECT_EQ(RunCheck(StationDir(kInit, kGates), &out), 0) << out;
    EXPECT_NE(out.find("station: 12"), std::string::npos) << out;
    EXPECT_NE(out.find("gates: 2: LEVEL, PUMP"), std::string::npos) << out;
    EXPECT_NE(out.find("on-line gate buffer: 200 records"), std::string::npos) << out;
    EXPECT_NE(out.find("dial reference 1: 'ATDT0301234567' CR"), std::string::npos) << out;

    // A binary gate file made for station 3 under station 12's name.
    std::string foreign(68 * 2, '\0');
    foreign[0] = 3;
    foreign.replace(2, 12, "03_GATES.DAT");
    foreign[34] = 1;
    foreign.replace(68 + 2, 5, "LEVEL");
    const struct {
        std::string init, gates, gatesName, says;
    } refused[] = {
        {"", kGates, "12_gates.txt", "no init file"},
        {kInit, "", "12_gates.txt", "station data file '12_GATES.DAT' not found"},
        {kInit, foreign, "12_GATES.DAT", "generated for station 03 i.s.o. station 12"},
        {std::string(kInit) + "MODEM_SPEED = 9600\n", kGates, "12_gates.txt", "illegal line 7"},
        {"ONLINE_GATE_BUFFER = 200\n", kGates, "12_gates.txt", "station: not defined"},
    };
    for (const auto& c : refused) {
        const fs::path dir = StationDir(c.init, c.gates, c.gatesName);
        if (c.init.empty()) fs::remove(dir / "TELDRV01.INT");
        EXPECT_EQ(RunCheck(dir, &out), 1) << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.says << "\n" << out;
    }

    const std::string sloppy = std::string(kInit) + "MODEM_RESET = AT &F E1\nMODEM_DIAL_TIMEOUT = 45s\n"
                                                    "MODEM_NUMBER 2 = 030/12O4\n";
    EXPECT_EQ(RunCheck(StationDir(sloppy, std::string(kGates) + "LEVEL 1 0\n"), &out), 3) << out;
    for (const char* says : {"'MODEM_RESET = AT &F E1': the driver stores 'AT' and ignores '&F E1'",
                             "'MODEM_DIAL_TIMEOUT = 45S': the driver stores '45' and ignores 'S'",
                             "12_gates.txt:3: gate 'LEVEL' is listed before on line 1",
                             "MODEM_NUMBER 2 = 030/12O4: a modem does not dial '/O'", "modem reset: 'AT' CR"}) {
        EXPECT_NE(out.find(says), std::string::npos) << says << "\n" << out;
    }

    // The remote-access keywords: a list is not trailing text, a unit after the limit is.
    EXPECT_NE(out.find("remote writes: every station gate\n  clock set by the central: any step"), std::string::npos);
    const std::string guarded = std::string(kInit) + "REMOTE_WRITE = LEVEL, PUMP\nCLOCK_MAX_STEP_SEC = 60s\n";
    EXPECT_EQ(RunCheck(StationDir(guarded, kGates), &out), 3) << out;
    EXPECT_NE(out.find("remote writes: LEVEL, PUMP"), std::string::npos) << out;
    EXPECT_NE(out.find("clock set by the central: steps of at most 60 s"), std::string::npos) << out;
    EXPECT_NE(out.find("the driver stores '60' and ignores 'S'"), std::string::npos) << out;
    EXPECT_EQ(out.find("REMOTE_WRITE = LEVEL, PUMP': the driver stores"), std::string::npos) << out;
    EXPECT_EQ(RunCheck(StationDir(std::string(kInit) + "REMOTE_WRITE = VALVE\n", kGates), &out), 1) << out;
    EXPECT_NE(out.find("VALVE"), std::string::npos) << out;
}

// The modem check, the lost port and the line capture: off without their
// keywords, as the driver acts on them with, and refused out of range.
TEST(StationCheck, TheModemCheckAndTheLostPortInTheSummary) {
    std::string out;
    EXPECT_EQ(RunCheck(StationDir(kInit, kGates), &out), 0) << out;
    EXPECT_NE(out.find("  modem check: off\n  port lost: off\n  line capture: off\n"), std::string::npos) << out;
    EXPECT_EQ(RunCheck(StationDir(std::string(kInit) + "MODEM_CHECK_MIN = 10\nPORT_REOPEN_SEC = 30\n"
                                                       "LINK_CAPTURE = line.pcapng\nLINK_CAPTURE_KB = 64\n",
                                  kGates),
                       &out),
              0)
        << out;
    EXPECT_NE(out.find("  modem check: every 10 min, alert after 3 failed checks\n  port lost: reopened every 30 s\n"
                       "  line capture: LINE.PCAPNG in the host's working directory, turned over to LINE.PCAPNG.1 at "
                       "64 KB\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(RunCheck(StationDir(std::string(kInit) + "PORT_REOPEN_SEC = 4\n", kGates), &out), 1) << out;
    EXPECT_NE(out.find("PORT_REOPEN_SEC 4 out of range 5 to 3600, line 7"), std::string::npos) << out;
}

// An init file the driver does not find, and lines it refuses: what to do
// about each, beside the driver's own message.
TEST(StationCheck, SaysWhatToDoAboutTheInitFilesNameAndItsBadLines) {
    std::string out;
    const fs::path dir = StationDir("", kGates);
    fs::rename(dir / "TELDRV01.INT", dir / "TELDRV12.INT");
    std::ofstream(dir / "teldrv7.int") << kInit;
    EXPECT_EQ(RunCheck(dir, &out), 1) << out;
    EXPECT_NE(out.find("no init file in " + dir.string() +
                       " for driver number 1 (the driver looks for TELDRV01.INT, TELDRV1.INT and TELDRV.INT)\n"
                       "TELDRV12.INT is the init file of driver number 12: pass --driver 12\n"
                       "teldrv7.int: the driver opens TELDRV7.INT, in upper case, and on Linux the case of a name "
                       "counts: rename it; it is the init file of driver number 7: pass --driver 7\n"),
              std::string::npos)
        << out;

    const std::string bad = std::string(kInit) + "MODEM_DAIL_PREFIX = ATDP\nBAUD_RATE = 9600\n  ALERTS = 2,1,1\n"
                                                 "MODEM_NUMBER = 0301\nCOM_PORT = COM3\n";
    EXPECT_EQ(RunCheck(StationDir(bad, kGates), &out), 1) << out;
    const std::string port = "not set in the init file: the host passes the port and its settings to the driver";
    for (const std::string& says : std::vector<std::string>{
             "illegal line 7 in 'TELDRV01.INT'\n       line 7: 'MODEM_DAIL_PREFIX = ATDP'\n"
          "       did you mean MODEM_DIAL_PREFIX?\n",
          "illegal line 8 in 'TELDRV01.INT'\n       line 8: 'BAUD_RATE = 9600'\n       the baud rate is " + port,
          "line 9: '  ALERTS = 2,1,1'\n       ALERTS must start in the first column\n",
          "line 10: 'MODEM_NUMBER = 0301'\n       the driver takes this keyword as 'MODEM_NUMBER n = text'\n",
          "line 11: 'COM_PORT = COM3'\n       the port's name is " + port}) {
        EXPECT_NE(out.find(says), std::string::npos) << says << "\n" << out;
    }
}

// A running teldrv-station and its transcript.
class Station {
public:
    explicit Station(const std::vector<std::string>& args) {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(out[1], 2);
            close(out[0]);
            std::vector<char*> argv{const_cast<char*>(TELDRV_STATION_TOOL)};
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        reader_ = std::thread([this, fd = out[0]] {
            char buffer[4096];
            for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
                std::lock_guard lock(mutex_);
                text_.append(buffer, static_cast<size_t>(got));
            }
            close(fd);
        });
    }
    ~Station() {
        if (pid_ > 0 && !stopped_) Stop();
        if (reader_.joinable()) reader_.join();
    }
    bool WaitFor(const std::string& what) {
        for (const auto until = Clock::now() + kPatience; Clock::now() < until;) {
            if (Text().find(what) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    std::string Text() {
        std::lock_guard lock(mutex_);
        return text_;
    }
    std::string PtyPath() {
        if (!WaitFor("\n")) return {};
        const std::string text = Text();
        return text.rfind("pty ", 0) == 0 ? text.substr(4, text.find('\n') - 4) : std::string();
    }
    // Ctrl-C; the exit status.
    int Stop() {
        stopped_ = true;
        kill(pid_, SIGINT);
        int status = 0;
        waitpid(pid_, &status, 0);
        if (reader_.joinable()) reader_.join();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    bool stopped_ = false;
    std::thread reader_;
    std::mutex mutex_;
    std::string text_;
};

// The far side's end of the pseudo-terminal.
class Far {
public:
    explicit Far(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios raw{};
        tcgetattr(fd_, &raw);
        cfmakeraw(&raw);
        tcsetattr(fd_, TCSANOW, &raw);
    }
    ~Far() { Close(); }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    bool ok() const { return fd_ >= 0; }
    void Send(const std::string& text) { Send(Bytes(text.begin(), text.end())); }
    void Send(const Bytes& bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
    // Reads until `what` has come; everything read so far stays in seen_.
    bool Expect(const std::string& what) {
        return ReadUntil(kPatience, [&] { return seen_.find(what) != std::string::npos; });
    }
    // The body of the next FER frame, built by the documented layout.
    bool Frame(Bytes* body, std::chrono::milliseconds patience = kPatience) {
        size_t start = 0;
        const bool got = ReadUntil(patience, [&] {
            start = seen_.find("\x02" "FER");
            if (start == std::string::npos || seen_.size() < start + 9) return false;
            const size_t n = static_cast<uint8_t>(seen_[start + 6]) << 8 | static_cast<uint8_t>(seen_[start + 7]);
            return seen_.size() >= start + 13 + n;
        });
        if (!got) return false;
        const size_t n = static_cast<uint8_t>(seen_[start + 6]) << 8 | static_cast<uint8_t>(seen_[start + 7]);
        body->assign(seen_.begin() + static_cast<std::ptrdiff_t>(start + 9),
                     seen_.begin() + static_cast<std::ptrdiff_t>(start + 9 + n));
        seen_.erase(0, start + 13 + n);
        return true;
    }
    void Forget() { seen_.clear(); }

private:
    template <typename Done>
    bool ReadUntil(std::chrono::milliseconds patience, Done done) {
        for (const auto until = Clock::now() + patience; !done();) {
            if (Clock::now() > until) return false;
            pollfd watch{fd_, POLLIN, 0};
            if (poll(&watch, 1, 100) <= 0) continue;
            char buffer[1024];
            const ssize_t got = read(fd_, buffer, sizeof buffer);
            if (got > 0) seen_.append(buffer, static_cast<size_t>(got));
        }
        return true;
    }
    int fd_;
    std::string seen_;
};

// STX "FEC" tag length DLE body DLE checksum ETX; the checksum sums
// byte ^ 0x55 over tag, length, DLE and body.
Bytes Request(uint16_t tag, const Bytes& body) {
    Bytes frame{0x02, 'F', 'E', 'C', static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag),
                static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size()), 0x10};
    frame.insert(frame.end(), body.begin(), body.end());
    uint16_t sum = 0;
    for (size_t i = 4; i < frame.size(); ++i) sum = static_cast<uint16_t>(sum + (frame[i] ^ 0x55));
    frame.insert(frame.end(), {0x10, static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum), 0x03});
    return frame;
}

// Sent again, as a central does, while no answer comes: the station drops
// what arrives in the moments after its modem connects.
Bytes Ask(Far& far, uint16_t tag, const Bytes& body) {
    Bytes answer;
    for (int attempt = 0; attempt < 8; ++attempt) {
        far.Send(Request(tag, body));
        if (far.Frame(&answer, std::chrono::seconds(8))) return answer;
    }
    ADD_FAILURE() << "no answer to request " << char(body[0]);
    return answer;
}

std::string Started(Station& station) {
    const std::string path = station.PtyPath();
    EXPECT_FALSE(path.empty()) << station.Text();
    EXPECT_TRUE(station.WaitFor("station ready on " + path)) << station.Text();
    return path;
}

// --capture of the run below: the far side's port, whole after the stop
// signal, from the pty opened to the call's end.
void ExpectCallCaptured(const std::string& path) {
    const pcapng_test::Capture read = pcapng_test::Read(path);
    EXPECT_TRUE(read.whole);
    std::vector<std::string> frames[3], events;  // by direction flag: 1 from the central, 2 to it
    for (const pcapng_test::Packet& p : read.packets) {
        if (p.interfaceId == 1) events.push_back(p.text());
        if (p.interfaceId == 0 && p.data[0] == 0x02 && p.flags < 3) frames[p.flags].push_back(pcapng_test::Hex(p.data));
    }
    ASSERT_FALSE(frames[1].empty() || frames[2].empty());
    EXPECT_EQ(frames[1].front(), "02 46 45 43 01 02 00 01 10 53 10 01 9F 03");
    EXPECT_EQ(frames[2].front(), "02 46 45 52 01 02 00 04 10 73 0C 0C 0C 10 02 C7 03");
    EXPECT_EQ(events, (std::vector<std::string>{"DTR raised", "carrier up", "carrier down"}));
}

// The transcript's stamps never go back: "HH:MM:SS.mmm  who  text" lines.
void ExpectTimeOrder(const std::string& transcript) {
    std::istringstream lines(transcript);
    int previous = -1;
    std::string before;
    for (std::string line; std::getline(lines, line);) {
        int h = 0, m = 0, sec = 0, ms = 0;
        if (std::sscanf(line.c_str(), "%2d:%2d:%2d.%3d  ", &h, &m, &sec, &ms) != 4) continue;
        const int stamp = ((h * 60 + m) * 60 + sec) * 1000 + ms;
        EXPECT_TRUE(stamp >= previous || previous - stamp > 43200000) << before << "\n" << line;  // or midnight
        previous = stamp;
        before = line;
    }
}

// The random changes of each gate, as the transcript shows them.
std::vector<double> HostValues(const std::string& transcript, const std::string& gate) {
    std::vector<double> values;
    const std::string marker = "host                gate " + gate + " = ";
    for (size_t at = 0; (at = transcript.find(marker, at)) != std::string::npos; at += marker.size()) {
        values.push_back(std::strtod(transcript.c_str() + at + marker.size(), nullptr));
    }
    return values;
}

TEST(StationRun, OwnCentralDialsThroughTheEmulatedModem) {
    const fs::path dir = StationDir(kInit, kGates);
    std::ofstream(dir / "script.csv") << "# seconds,gate,value\n0.5,LEVEL,3.5\n1,PUMP,1\n";
    // The script's changes come before the driver subscribes: history only.
    const std::string capture = (dir / "station.pcapng").string();
    Station station({dir.string(), "--pty", "--script", (dir / "script.csv").string(), "--changes", "2/s",
                     "--capture", capture});
    Far far(Started(station));
    ASSERT_TRUE(far.ok());
    far.Send("ATZ\r");
    ASSERT_TRUE(far.Expect("OK"));
    far.Send("ATDT 555-0199\r");
    ASSERT_TRUE(far.Expect("CONNECT"));
    ASSERT_TRUE(station.WaitFor("CONNECT (incoming)")) << station.Text();

    EXPECT_EQ(Ask(far, 0x0102, {'S'}), (Bytes{'s', 12, 12, 12}));
    // 2026-12-08 (a Tuesday) 10:20:30.000 UTC, little-endian words.
    EXPECT_EQ(Ask(far, 0x0103, {'C', 0xEA, 7, 12, 0, 2, 0, 8, 0, 10, 0, 20, 0, 30, 0, 0, 0}), Bytes{'c'});
    EXPECT_EQ(Ask(far, 0x0104, {'O'}), (Bytes{'o', 0}));
    ASSERT_TRUE(station.WaitFor("Kor5RqGateMsg client"));
    // Polled as a central polls, until the random changes (twice a second)
    // bring one.
    Bytes changes;
    uint8_t sequence = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (changes.size() <= 2 && std::chrono::steady_clock::now() < until) {
        if (sequence > 0) std::this_thread::sleep_for(std::chrono::milliseconds(250));
        ++sequence;
        changes = Ask(far, static_cast<uint16_t>(0x0150 + sequence), {'M', sequence});
    }
    EXPECT_TRUE(changes.size() >= 2u + 16 && (changes.size() - 2) % 16 == 0) << changes.size();
    // LEVEL has value type 2: unsigned 16 bits in bytes 6 and 7.
    const Bytes written = Ask(far, 0x0106, {'M', static_cast<uint8_t>(sequence + 1), 0, 0, 0, 0, 42, 0});
    ASSERT_GE(written.size(), 3u);
    EXPECT_EQ(written[2], 0);
    EXPECT_TRUE(station.WaitFor("Kor5PutGateVal gate LEVEL (100) = 42, applied")) << station.Text();

    EXPECT_EQ(Ask(far, 0x0107, {'H', 0, 0, 0, 0}), (Bytes{'h', 0}));
    // History from the changes made, the scripted 3.5 among them.
    const Bytes history = Ask(far, 0x0108, {'T', 3});
    EXPECT_TRUE(history.size() >= 2u + 3 * 18 && (history.size() - 2) % 18 == 0) << history.size();
    const Bytes threePointFive{0, 0, 0, 0, 0, 0, 0x0C, 0x40};
    EXPECT_NE(std::search(history.begin(), history.end(), threePointFive.begin(), threePointFive.end()),
              history.end());
    EXPECT_EQ(Ask(far, 0x0109, {'X'}), Bytes{'x'});
    EXPECT_TRUE(far.Expect("NO CARRIER"));

    EXPECT_EQ(station.Stop(), 0);
    const std::string transcript = station.Text();
    ExpectTimeOrder(transcript);  // both modems, the frames and the driver's lines
    for (const char* says : {"central -> station  FEC tag 0102  FE_REQ_STATION", "station -> central  FER tag 0102",
                             "far modem           ATDT 555-0199", "Kor5RqGateMsg client", "history file opened",
                             "EndVpi returned 0"}) {
        EXPECT_NE(transcript.find(says), std::string::npos) << says << "\n" << transcript;
    }
    ExpectCallCaptured(capture);
}

TEST(StationRun, CentralToolPollsOverDirectLine) {
    // A gate of each kind of value: unsigned 16 and signed 16 bits (kGates), unsigned 32, single precision.
    const fs::path dir = StationDir(kInit, std::string(kGates) + "HOURS 5 0\nFLOW 3 0\n");
    Station station({dir.string(), "--pty", "--direct", "--silence", "20", "--changes", "20/s"});
    const std::string path = Started(station);
    const std::string command = std::string(TELDRV_CENTRAL_TOOL) + " " + path + " --gates " +
                                (dir / "12_gates.txt").string() +
                                " --timeout 8000 station clock online --seconds 2 --write 1=1 hangup 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, got);
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out << station.Text();
    EXPECT_NE(out.find("12"), std::string::npos) << out;
    EXPECT_TRUE(station.WaitFor("Kor5PutGateVal gate PUMP (101) = 1, applied")) << station.Text();
    EXPECT_TRUE(station.WaitFor("FE_REQ_HANG_UP")) << station.Text();
    EXPECT_EQ(station.Stop(), 0);
    const std::string transcript = station.Text();
    EXPECT_NE(transcript.find("EndVpi returned 0"), std::string::npos);
    // In time order: the station's modem armed before it is ready, answers after their requests.
    ExpectTimeOrder(transcript);
    EXPECT_LT(transcript.find("station modem       ATS0=1  ->  OK"), transcript.find("station ready on"));
    EXPECT_LT(transcript.find("FEC tag 0002"), transcript.find("FER tag 0002")) << transcript;
    // Each gate's values fit its value type: whole, and not below 0 when unsigned.
    for (const auto& [gate, whole, unsignedType] : {std::tuple{"LEVEL (100)", true, true}, {"PUMP (101)", true, false},
                                                    {"HOURS (102)", true, true}, {"FLOW (103)", false, false}}) {
        const std::vector<double> values = HostValues(transcript, gate);
        EXPECT_FALSE(values.empty()) << gate;
        for (double value : values) {
            EXPECT_TRUE(!whole || value == std::floor(value)) << gate << " " << value;
            EXPECT_TRUE(!unsignedType || value >= 0) << gate << " " << value;
        }
    }
}

TEST(StationRun, AlarmCallRingsTheFarSide) {
    Station station({StationDir(kInit, kGates).string(), "--pty", "--alarm-at", "1:1"});
    Far far(Started(station));
    ASSERT_TRUE(far.Expect("RING")) << station.Text();
    EXPECT_TRUE(station.WaitFor("ALARM_CALL = 1 (address parser -> 0, write -> 0)")) << station.Text();
    far.Send("ATA\r");
    ASSERT_TRUE(far.Expect("CONNECT")) << station.Text();
    far.Forget();
    // The far side answers the call and leaves it with +++ and ATH.
    EXPECT_EQ(Ask(far, 7, {'S'}), (Bytes{'s', 12, 12, 12}));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // the escape's guard time
    far.Send("+++");
    ASSERT_TRUE(far.Expect("OK"));
    far.Send("ATH\r");
    EXPECT_TRUE(station.WaitFor("far modem           call ended (ATH)")) << station.Text();
    EXPECT_EQ(station.Stop(), 0);
}

// teldrv-central takes the station's alarm call on the pty's modem: RING,
// ATA, CONNECT (no carrier line on a pty), the commands, the hang-up that
// delivers the call.
TEST(StationRun, CentralToolAnswersTheAlarmCall) {
    Station station({StationDir(kInit, kGates).string(), "--pty", "--alarm-at", "2:1"});
    const std::string path = Started(station);
    std::string out;
    EXPECT_EQ(RunCentral(path + " --answer --ignore-carrier --answer-timeout 60 station", &out), 0)
        << out << station.Text();
    for (const char* line : {"modem: RING\nmodem: ATA\nmodem: CONNECT", "connected: the station's call answered",
                             "station 12\nstation hung up\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    }
    EXPECT_TRUE(station.WaitFor("far modem           ATA")) << station.Text();
    EXPECT_TRUE(station.WaitFor("FE_REQ_HANG_UP")) << station.Text();
    EXPECT_EQ(station.Stop(), 0);
}

// The README's quick start: a central that starts once the station is
// ready gets its first answer within seconds, though the station drops the
// request that starts the call (before, it waited the whole 21 s --timeout).
TEST(StationRun, CentralToolsFirstAnswerComesInSeconds) {
    Station station({StationDir(kInit, kGates).string(), "--pty", "--direct"});
    const std::string path = Started(station);
    const auto start = Clock::now();
    std::string out;
    EXPECT_EQ(RunCentral(path + " station", &out), 0) << out << station.Text();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15)) << out;
    EXPECT_NE(out.find("teldrv-central: warning: no answer to the first request within 3 s, sent again\nstation 12\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(station.Stop(), 0);
}

// Faults on the bench: the station's modem stops answering for a stretch,
// then its port loses its device; the driver closes the port, alerts the
// host and opens it again once the device is back, all in the transcript.
TEST(StationRun, TheBenchsModemAndPortFaultsShowTheDriverLookingAfterThem) {
    const fs::path dir = StationDir(std::string(kInit) + "PORT_REOPEN_SEC = 5\n", kGates);
    Station station({dir.string(), "--pty", "--modem-silent", "1-2", "--port-away", "3-10"});
    Started(station);
    for (const char* says : {"bench               station modem stops answering (m: answers again)",
                             "bench               station modem answers again",
                             "bench               station port's device gone, as a USB adapter pulled out (p: back)",
                             "driver [32]         TELDRV> ReopenPort() error, port 'SIM1' lost, reopening every 5 s",
                             "host call           alert from FER: TELDRV, port 'SIM1' lost (severity 1000)",
                             "bench               station port's device back",
                             "driver [32]         TELDRV> ReopenPort() info, port 'SIM1' open again"}) {
        EXPECT_TRUE(station.WaitFor(says)) << says << "\n" << station.Text();
    }
    EXPECT_EQ(station.Stop(), 0);
}

// A modem scripted on the master side of a pseudo-terminal pair: it echoes
// each AT command and answers OK, as the driver's dialogue expects.
class ScriptedModem {
public:
    ScriptedModem() : master_(posix_openpt(O_RDWR | O_NOCTTY)) {
        grantpt(master_);
        unlockpt(master_);
        path_ = ptsname(master_);
        // Raw before the driver sets it, so that no answer is echoed back.
        Far(path_).Close();
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedModem() {
        stop_ = true;
        thread_.join();
        close(master_);
    }
    const std::string& path() const { return path_; }
    int master() const { return master_; }
    bool WaitFor(const std::string& what) {
        for (const auto until = Clock::now() + kPatience; Clock::now() < until;) {
            if (Seen().find(what) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    std::string Seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    void Run() {
        std::string line;
        while (!stop_) {
            pollfd watch{master_, POLLIN, 0};
            char buffer[256];
            const ssize_t got = poll(&watch, 1, 50) > 0 ? read(master_, buffer, sizeof buffer) : 0;
            if (got <= 0) {  // nobody on the terminal side yet, or no bytes
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            std::lock_guard lock(mutex_);
            seen_.append(buffer, static_cast<size_t>(got));
            line.append(buffer, static_cast<size_t>(got));
            for (size_t cr; (cr = line.find('\r')) != std::string::npos; line.erase(0, cr + 1)) {
                const size_t at = line.find("AT");
                if (at >= cr) continue;
                const std::string answer = line.substr(at, cr + 1 - at) + "\r\nOK\r\n";
                EXPECT_EQ(write(master_, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
            }
        }
    }
    int master_;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::string seen_;
};

// The driver as shipped on a port of its own (--modem): its reset and
// auto-answer dialogue with the user's commands reaches the port byte for
// byte at the rate asked, through a port path longer than the driver's port
// name, and Ctrl-C puts the modem back before EndVpi
// returns. A pty has no modem lines, so no call can stand there: the tool
// warns, and the driver re-arms auto-answer after each failed status read.
TEST(StationRun, ModemModeTalksToTheModemOnThePort) {
    const fs::path dir = StationDir(std::string(kInit) + "MODEM_RESET = AT&F\nMODEM_AUTO_ANSWER = ATS0=2\n", kGates);
    ScriptedModem modem;
    // A path longer than the driver's port name takes, as /dev/serial/by-id names are.
    const fs::path bench = dir / "modem-on-the-bench";
    fs::create_symlink(modem.path(), bench);
    Station station({dir.string(), "--modem", bench.string(), "--baud", "9600"});
    const std::string armed = "+++ATH0\rAT&F\rATS0=2\r";
    ASSERT_TRUE(modem.WaitFor(armed + "ATS0=2\r")) << modem.Seen() << station.Text();
    termios line{};
    ASSERT_EQ(tcgetattr(modem.master(), &line), 0);  // the terminal side's settings
    EXPECT_EQ(cfgetospeed(&line), speed_t{B9600});
    EXPECT_TRUE(station.WaitFor("AutoAnswerThread() error, getting modem control signals status, err 1"));
    EXPECT_EQ(station.Stop(), 0) << station.Text();
    const std::string restored = "+++ATH0\rAT&F\rATS0=0\r";
    ASSERT_TRUE(modem.WaitFor(restored)) << modem.Seen();
    std::string between = modem.Seen();
    ASSERT_EQ(between.rfind(armed, 0), 0u) << between;
    ASSERT_TRUE(between.ends_with(restored)) << between;
    between = between.substr(armed.size(), between.size() - armed.size() - restored.size());
    for (size_t at = 0; at < between.size(); at += 7) EXPECT_EQ(between.substr(at, 7), "ATS0=2\r") << between;

    const std::string transcript = station.Text();
    const size_t ended = transcript.find("host                EndVpi returned 0");
    for (const char* says : {"its modem lines cannot be read", "ColdStart on ./port at 9600 baud -> 0",
                             "TELDRV> AutoAnswerThread() info: resetting modem..."}) {
        EXPECT_LT(transcript.find(says), ended) << says << "\n" << transcript;
    }
    EXPECT_NE(transcript.find("warning: " + bench.string()), std::string::npos) << transcript;
}

}  // namespace

namespace {

TEST(StationSim, CentralToolSimulatesTheUsersStation) {
    std::string out;
    EXPECT_EQ(RunCentral("--sim --station-dir " + StationDir(kInit, kGates).string() + " --dial 0307000012 station hangup",
                         &out),
              0)
        << out;
    EXPECT_NE(out.find("station 12\n"), std::string::npos) << out;
}

// The station of driver number 2, as it really runs: its number, the number
// it answers at, the numbers its alarm calls dial; it calls the central
// (--answer), and the demo's number reaches nobody.
TEST(StationSim, CentralToolRunsTheStationOfTheDriverNumberGiven) {
    const fs::path dir = StationDir(kInit, kGates);
    fs::rename(dir / "TELDRV01.INT", dir / "TELDRV02.INT");
    std::string out;
    ASSERT_EQ(RunCentral("--sim --station-dir " + dir.string() + " --driver 2 --answer station", &out), 0) << out;
    for (const std::string& line :
         {"station 12 (TELDRV02.INT of " + dir.string() + ", driver 2) on SIM1 answers at 0307000012; its alarm calls "
          "dial 0301234567 (1); this central is on SIM2 (virtual clock)\n",
          std::string("host: ALARM_CALL = 1: the station calls 0301234567 in 3 s\nmodem: ATZ\n"),
          std::string("modem: RING\nmodem: ATA\nmodem: CONNECT\nconnected: the station's call answered\nstation 12\n")}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    }
    EXPECT_EQ(RunCentral("--sim --station-dir " + dir.string() + " --driver 2 --dial 0307000007 station", &out), 3)
        << out;
    EXPECT_NE(out.find("teldrv-central: warning: nothing answers at 0307000007; station 12 answers at 0307000012\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(RunCentral("--sim --station-dir " + dir.string() + " station", &out), 7) << out;
    EXPECT_NE(out.find("no init file of driver 1 with a STATION"), std::string::npos) << out;
}

}  // namespace
