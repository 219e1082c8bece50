#include "tests/windows/wine_host.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace wine_test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Variable(const char* name, std::string* missing) {
    const char* value = std::getenv(name);
    if (value && *value) return value;
    if (!missing->empty()) *missing += ", ";
    *missing += name;
    return {};
}

// The host's \xNN escapes back to bytes.
std::string Unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// What follows the first `fields` space-separated words of a line.
std::string Rest(const std::string& line, int fields) {
    size_t at = 0;
    for (int i = 0; i < fields && at != std::string::npos; ++i) {
        at = line.find(' ', at);
        if (at != std::string::npos) ++at;
    }
    return at == std::string::npos ? std::string() : line.substr(at);
}

// The host's environment: this process's, with the shim and its port.
std::vector<std::string> HostEnvironment(const WineSetup& setup, const std::string& ptyPath,
                                         const std::string& linesFile) {
    const std::vector<std::string> set = {"LD_PRELOAD=" + setup.shim, "TELDRV_SHIM_PTY=" + ptyPath,
                                          "TELDRV_SHIM_LINES=" + linesFile, "WINEPREFIX=" + setup.prefix};
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string& mine : set) replaced = replaced || mine.rfind(name, 0) == 0;
        if (!replaced) environment.push_back(text);
    }
    environment.insert(environment.end(), set.begin(), set.end());
    return environment;
}

// In the child of a process with threads: only calls that are safe there.
[[noreturn]] void StartChild(const WineSetup& setup, char* const argv[], char* const envp[], int input, int output,
                             int errors) {
    ::dup2(input, STDIN_FILENO);
    ::dup2(output, STDOUT_FILENO);
    ::dup2(errors, STDERR_FILENO);
    if (::chdir(setup.runDirectory.c_str()) != 0) _exit(126);
    ::execve(setup.wine.c_str(), argv, envp);
    _exit(127);
}

}  // namespace

WineSetup WineSetup::FromEnvironment(std::string* missing) {
    missing->clear();
    WineSetup setup;
    setup.runDirectory = Variable("TELDRV_WINE_RUN", missing);
    setup.hostProgram = Variable("TELDRV_WINE_HOST", missing);
    setup.shim = Variable("TELDRV_WINE_SHIM", missing);
    setup.wine = Variable("TELDRV_WINE_LOADER", missing);
    setup.prefix = Variable("WINEPREFIX", missing);
    return setup;
}

void MapComPort(const WineSetup& setup, const std::string& name, const std::string& device) {
    const fs::path link = fs::path(setup.prefix) / "dosdevices" / name;
    std::error_code ignored;
    fs::remove(link, ignored);
    fs::create_symlink(device, link);
}

WineHost::WineHost(const WineSetup& setup, const std::string& ptyPath, const std::string& linesFile,
                   const std::string& stderrFile) {
    int toChild[2], fromChild[2];
    const int errors = ::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (errors < 0 || ::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make the host's pipes");
    }
    // Everything the child needs is made before the fork.
    std::vector<std::string> environment = HostEnvironment(setup, ptyPath, linesFile);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = setup.wine, host = setup.hostProgram;
    char* const argv[] = {program.data(), host.data(), nullptr};
    pid_ = ::fork();
    if (pid_ == 0) StartChild(setup, argv, envp.data(), toChild[0], fromChild[1], errors);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    ::close(errors);
    toHost_ = toChild[1];
    fromHost_ = fromChild[0];
    if (pid_ < 0) throw std::runtime_error("cannot start Wine");
    // The host says "ready" once teldrv.dll is loaded and patched.
    std::string line;
    if (!ReadLine(&line, 120000) || line != "ready") {
        throw std::runtime_error("the Wine host did not come up: '" + line + "' (see " + stderrFile + ")");
    }
    ReadLine(&line, 1000);
}

WineHost::~WineHost() {
    if (pid_ <= 0) return;
    const std::string quit = "quit\n";
    if (::write(toHost_, quit.data(), quit.size()) < 0) {
        // Gone already: waited for below.
    }
    int status = 0;
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() > until) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        ::usleep(20000);
    }
    ::close(toHost_);
    ::close(fromHost_);
}

bool WineHost::ReadLine(std::string* line, int timeoutMs) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t end = input_.find('\n');
        if (end != std::string::npos) {
            *line = input_.substr(0, end);
            if (!line->empty() && line->back() == '\r') line->pop_back();
            input_.erase(0, end + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return false;
        pollfd wait{fromHost_, POLLIN, 0};
        if (::poll(&wait, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[4096];
        const ssize_t got = ::read(fromHost_, buffer, sizeof buffer);
        if (got <= 0) return false;
        input_.append(buffer, static_cast<size_t>(got));
    }
}

std::vector<std::string> WineHost::Command(const std::string& line, int timeoutMs) {
    const std::string text = line + "\n";
    if (::write(toHost_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("the Wine host is gone (" + line + ")");
    }
    std::vector<std::string> answer;
    for (std::string got; ReadLine(&got, timeoutMs);) {
        if (got == ".") return answer;
        answer.push_back(got);
    }
    throw std::runtime_error("no whole answer from the Wine host to '" + line + "'");
}

int32_t WineHost::Result(const std::string& line, int timeoutMs) {
    const std::vector<std::string> answer = Command(line, timeoutMs);
    if (answer.size() != 1 || answer[0].rfind("result ", 0) != 0) {
        throw std::runtime_error("'" + line + "' answered " + (answer.empty() ? "nothing" : answer[0]));
    }
    return std::stoi(answer[0].substr(7));
}

const std::vector<korpro_sim::LogLine>& WineHost::Log() {
    for (const std::string& line : Command("log")) {
        std::istringstream in(line);
        std::string tag;
        int32_t level = 0;
        in >> tag >> level;
        log_.push_back({level, Unescaped(Rest(line, 2))});
    }
    return log_;
}

std::vector<korpro_sim::GateValueWrite> WineHost::GateValueWrites() {
    std::vector<korpro_sim::GateValueWrite> writes;
    for (const std::string& line : Command("writes")) {
        std::istringstream in(line);
        std::string tag;
        korpro_sim::GateValueWrite write{};
        in >> tag >> write.gateId >> write.value;
        writes.push_back(write);
    }
    return writes;
}

std::vector<korpro_sim::GateRequest> WineHost::GateRequests() {
    std::vector<korpro_sim::GateRequest> requests;
    for (const std::string& line : Command("requests")) {
        std::istringstream in(line);
        std::string tag;
        unsigned client = 0;
        korpro_sim::GateRequest request{};
        in >> tag >> client >> request.kind;
        request.clientId = static_cast<uint8_t>(client);
        for (uint32_t id = 0; in >> id;) request.gateIds.push_back(id);
        requests.push_back(request);
    }
    return requests;
}

std::vector<korpro_sim::Alert> WineHost::Alerts() {
    std::vector<korpro_sim::Alert> alerts;
    for (const std::string& line : Command("alerts")) {
        std::istringstream in(line);
        std::string tag, source;
        korpro_sim::Alert a{};
        int given = 0;
        in >> tag >> a.arg1 >> a.severity >> a.flags >> a.zone >> a.arg7 >> a.attributes >> a.arg9 >> a.arg10 >>
            a.arg11 >> a.arg12 >> given >> source;
        a.alertIdGiven = given != 0;
        a.source = Unescaped(source);
        a.text = Unescaped(Rest(line, 13));
        alerts.push_back(a);
    }
    return alerts;
}

std::vector<ClockCall> WineHost::ClockCalls() {
    std::vector<ClockCall> calls;
    for (const std::string& line : Command("clocks")) {
        std::istringstream in(line);
        std::string tag;
        ClockCall call;
        platform::SystemTime& t = call.utc;
        in >> tag >> call.error >> t.wYear >> t.wMonth >> t.wDayOfWeek >> t.wDay >> t.wHour >> t.wMinute >>
            t.wSecond >> t.wMilliseconds;
        calls.push_back(call);
    }
    return calls;
}

}  // namespace wine_test
