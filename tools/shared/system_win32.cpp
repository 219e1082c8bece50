// The Win32 backend: COM ports through the comm API, LoadLibrary, the
// console. Windows has no pseudo-terminals: a null-modem pair of COM ports
// takes their place.
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>

#include "tools/shared/system.h"

namespace tools {

namespace {

HANDLE H(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::string ErrorText(const std::string& what) { return what + ": error " + std::to_string(GetLastError()); }

// "COM10" and above are reached only through the device namespace.
HANDLE OpenComm(const std::string& port) {
    const std::string device = port.rfind("\\\\.\\", 0) == 0 ? port : "\\\\.\\" + port;
    return CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool MakeRaw(HANDLE port) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return false;
    dcb.BaudRate = CBR_19200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // A write nobody takes gives up after a second rather than hanging.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 1000};
    return SetCommState(port, &dcb) && SetCommTimeouts(port, &timeouts);
}

}  // namespace

FarPort::~FarPort() {
    if (handle_ != -1) CloseHandle(H(handle_));
}

bool FarPort::OpenPty(std::string* error) {
    *error = "Windows has no pseudo-terminals: use --port COMn, one end of a null-modem pair";
    return false;
}

bool FarPort::OpenNamed(const std::string& path, std::string* error) {
    path_ = path;
    const HANDLE port = OpenComm(path);
    if (port == INVALID_HANDLE_VALUE) {
        *error = ErrorText("cannot open " + path);
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(port);
    if (!MakeRaw(port)) {
        *error = ErrorText("cannot set " + path + " up (is it a COM port?)");
        return false;
    }
    return true;
}

PortRead FarPort::Read(std::vector<uint8_t>* bytes, int timeoutMs) {
    // Returns with the first bytes there, or after timeoutMs with none.
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, static_cast<DWORD>(timeoutMs), 0, 1000};
    if (!SetCommTimeouts(H(handle_), &timeouts)) return PortRead::Closed;
    uint8_t buffer[512];
    DWORD got = 0;
    if (!ReadFile(H(handle_), buffer, sizeof buffer, &got, nullptr)) return PortRead::Closed;
    if (got == 0) return PortRead::Nothing;
    bytes->assign(buffer, buffer + got);
    return PortRead::Data;
}

void FarPort::Write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    for (int stalls = 0; done < bytes.size() && stalls < 3;) {
        DWORD put = 0;
        if (!WriteFile(H(handle_), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &put, nullptr)) return;
        done += put;
        if (put == 0) ++stalls;
    }
}

ModemLines ProbeModemLines(const std::string& port, std::string* why) {
    const HANDLE handle = OpenComm(port);
    if (handle == INVALID_HANDLE_VALUE) {
        *why = ErrorText("cannot open " + port);
        return ModemLines::NoPort;
    }
    DWORD status = 0;
    const bool readable = GetCommModemStatus(handle, &status) != 0;
    if (!readable) *why = ErrorText("its modem lines cannot be read");
    CloseHandle(handle);
    return readable ? ModemLines::Readable : ModemLines::Unreadable;
}

VpiMainFunction LoadVpiMain(const std::string& library, std::string* error) {
    const HMODULE module = LoadLibraryA(library.c_str());
    if (!module) {
        *error = ErrorText("cannot load " + library);
        return nullptr;
    }
    // Through the generic function pointer type, which converts to any.
    const auto vpiMain = reinterpret_cast<VpiMainFunction>(reinterpret_cast<void (*)()>(GetProcAddress(module, "VpiMain")));
    if (!vpiMain) *error = ErrorText(library + " has no VpiMain");
    return vpiMain;
}

// The console cannot be polled for a line as a descriptor can: a reader of
// its own takes the lines and leaves word of the last one.
// The reader outlives every static object, so its state is never destroyed.
std::string TypedKeys(bool* open) {
    struct Typed {
        std::mutex mutex;
        std::string lines;
        bool ended = false;
    };
    static Typed* const typed = [] {
        auto* state = new Typed;
        std::thread([state] {
            for (std::string line; std::getline(std::cin, line);) {
                std::lock_guard lock(state->mutex);
                state->lines += line;
            }
            std::lock_guard lock(state->mutex);
            state->ended = true;
        }).detach();
        return state;
    }();
    std::lock_guard lock(typed->mutex);
    std::string keys;
    keys.swap(typed->lines);
    if (typed->ended) *open = false;
    return keys;
}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

// Started from the PATH, the program's name carries no directory.
std::string ProgramDirectory(const char*) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    const std::string file(path, length < sizeof path ? length : 0);
    const size_t slash = file.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : file.substr(0, slash);
}

std::tm LocalTime(std::time_t seconds) {
    std::tm local{};
    localtime_s(&local, &seconds);
    return local;
}

std::string PortDevicePath(const std::string& port) { return port; }

// Windows says access denied for a port in use, and has no rights to tell it apart.
bool PortPermissionDenied(const std::string&) { return false; }

}  // namespace tools
