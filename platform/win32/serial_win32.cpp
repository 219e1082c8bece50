// Windows serial devices: the Win32 comm calls themselves, synchronous I/O.
// A backend call gives 0 or the GetLastError code of the call that failed.
#include <windows.h>

#include "platform/serial_native.h"

namespace platform {
namespace {

static_assert(sizeof(DCB) == 28, "the port layer sets DCBlength to 28");

HANDLE H(void* state) { return static_cast<HANDLE>(state); }

// A failed call always reports a failure, even one that left no error code.
uint32_t Failure() {
    const DWORD error = ::GetLastError();
    return error != 0 ? error : kErrorGenFailure;
}

uint32_t Result(BOOL ok) { return ok ? 0 : Failure(); }

void* Open(const char* device, uint32_t* error) {
    const HANDLE handle = ::CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = Failure();
        return nullptr;
    }
    return handle;
}

uint32_t Close(void* state) { return Result(::CloseHandle(H(state))); }

uint32_t GetState(void* state, Dcb* dcb) {
    DCB native{};
    native.DCBlength = dcb->DCBlength;
    if (!::GetCommState(H(state), &native)) return Failure();
    dcb->DCBlength = native.DCBlength;
    dcb->BaudRate = native.BaudRate;
    dcb->fBinary = static_cast<uint8_t>(native.fBinary);
    dcb->fParity = static_cast<uint8_t>(native.fParity);
    dcb->fOutxCtsFlow = static_cast<uint8_t>(native.fOutxCtsFlow);
    dcb->fOutxDsrFlow = static_cast<uint8_t>(native.fOutxDsrFlow);
    dcb->fDtrControl = static_cast<uint8_t>(native.fDtrControl);
    dcb->fDsrSensitivity = static_cast<uint8_t>(native.fDsrSensitivity);
    dcb->fTXContinueOnXoff = static_cast<uint8_t>(native.fTXContinueOnXoff);
    dcb->fOutX = static_cast<uint8_t>(native.fOutX);
    dcb->fInX = static_cast<uint8_t>(native.fInX);
    dcb->fErrorChar = static_cast<uint8_t>(native.fErrorChar);
    dcb->fNull = static_cast<uint8_t>(native.fNull);
    dcb->fRtsControl = static_cast<uint8_t>(native.fRtsControl);
    dcb->fAbortOnError = static_cast<uint8_t>(native.fAbortOnError);
    dcb->XonLim = native.XonLim;
    dcb->XoffLim = native.XoffLim;
    dcb->ByteSize = native.ByteSize;
    dcb->Parity = native.Parity;
    dcb->StopBits = native.StopBits;
    dcb->XonChar = native.XonChar;
    dcb->XoffChar = native.XoffChar;
    dcb->ErrorChar = native.ErrorChar;
    dcb->EofChar = native.EofChar;
    dcb->EvtChar = native.EvtChar;
    return 0;
}

// The reserved fields go out as zero, as the comm interface asks of them.
uint32_t SetState(void* state, const Dcb* dcb) {
    DCB native{};
    native.DCBlength = dcb->DCBlength;
    native.BaudRate = dcb->BaudRate;
    native.fBinary = dcb->fBinary & 1u;
    native.fParity = dcb->fParity & 1u;
    native.fOutxCtsFlow = dcb->fOutxCtsFlow & 1u;
    native.fOutxDsrFlow = dcb->fOutxDsrFlow & 1u;
    native.fDtrControl = dcb->fDtrControl & 3u;
    native.fDsrSensitivity = dcb->fDsrSensitivity & 1u;
    native.fTXContinueOnXoff = dcb->fTXContinueOnXoff & 1u;
    native.fOutX = dcb->fOutX & 1u;
    native.fInX = dcb->fInX & 1u;
    native.fErrorChar = dcb->fErrorChar & 1u;
    native.fNull = dcb->fNull & 1u;
    native.fRtsControl = dcb->fRtsControl & 3u;
    native.fAbortOnError = dcb->fAbortOnError & 1u;
    native.XonLim = dcb->XonLim;
    native.XoffLim = dcb->XoffLim;
    native.ByteSize = dcb->ByteSize;
    native.Parity = dcb->Parity;
    native.StopBits = dcb->StopBits;
    native.XonChar = dcb->XonChar;
    native.XoffChar = dcb->XoffChar;
    native.ErrorChar = dcb->ErrorChar;
    native.EofChar = dcb->EofChar;
    native.EvtChar = dcb->EvtChar;
    return Result(::SetCommState(H(state), &native));
}

uint32_t GetTimeouts(void* state, CommTimeouts* timeouts) {
    COMMTIMEOUTS native{};
    if (!::GetCommTimeouts(H(state), &native)) return Failure();
    timeouts->ReadIntervalTimeout = native.ReadIntervalTimeout;
    timeouts->ReadTotalTimeoutMultiplier = native.ReadTotalTimeoutMultiplier;
    timeouts->ReadTotalTimeoutConstant = native.ReadTotalTimeoutConstant;
    timeouts->WriteTotalTimeoutMultiplier = native.WriteTotalTimeoutMultiplier;
    timeouts->WriteTotalTimeoutConstant = native.WriteTotalTimeoutConstant;
    return 0;
}

uint32_t SetTimeouts(void* state, const CommTimeouts* timeouts) {
    COMMTIMEOUTS native{timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
                        timeouts->ReadTotalTimeoutConstant, timeouts->WriteTotalTimeoutMultiplier,
                        timeouts->WriteTotalTimeoutConstant};
    return Result(::SetCommTimeouts(H(state), &native));
}

uint32_t Setup(void* state, uint32_t inQueue, uint32_t outQueue) {
    return Result(::SetupComm(H(state), inQueue, outQueue));
}

uint32_t ClearError(void* state, uint32_t* errors, uint32_t* bytesWaiting) {
    DWORD flags = 0;
    COMSTAT status{};
    if (!::ClearCommError(H(state), &flags, &status)) return Failure();
    if (errors) *errors = flags;
    if (bytesWaiting) *bytesWaiting = status.cbInQue;
    return 0;
}

uint32_t Read(void* state, void* buffer, uint32_t count, uint32_t* received) {
    DWORD got = 0;
    const BOOL ok = ::ReadFile(H(state), buffer, count, &got, nullptr);
    *received = got;
    return Result(ok);
}

uint32_t Write(void* state, const void* buffer, uint32_t count, uint32_t* written) {
    DWORD done = 0;
    const BOOL ok = ::WriteFile(H(state), buffer, count, &done, nullptr);
    *written = done;
    return Result(ok);
}

uint32_t Escape(void* state, uint32_t function) { return Result(::EscapeCommFunction(H(state), function)); }

uint32_t ModemStatus(void* state, uint32_t* status) {
    DWORD lines = 0;
    if (!::GetCommModemStatus(H(state), &lines)) return Failure();
    *status = lines;
    return 0;
}

const SerialBackend kWin32Serial = {Open,       Close,      GetState, SetState, GetTimeouts, SetTimeouts,
                                    Setup,      ClearError, Read,     Write,    Escape,      ModemStatus};

}  // namespace

const SerialBackend* NativeSerialBackend() { return &kWin32Serial; }

}  // namespace platform
