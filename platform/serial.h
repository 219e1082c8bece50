// Serial communications service: the subset of the Win32 comm interface the
// port layer is written against. Each open port is a handle whose calls go
// to the backend that opened it (native device, or a registered provider such
// as the simulated modem line), so several kinds live in one process.
#pragma once

#include <cstdint>

#include "platform/error.h"
#include "platform/port_handle.h"

namespace platform {

// DTR / RTS control codes of the device control block.
constexpr uint8_t kDtrControlDisable = 0;
constexpr uint8_t kDtrControlEnable = 1;
constexpr uint8_t kDtrControlHandshake = 2;
constexpr uint8_t kRtsControlDisable = 0;
constexpr uint8_t kRtsControlEnable = 1;
constexpr uint8_t kRtsControlHandshake = 2;
constexpr uint8_t kRtsControlToggle = 3;

// EscapeCommFunction codes and the carrier bit of the modem status.
constexpr uint32_t kSetDtr = 5;
constexpr uint32_t kClrDtr = 6;
constexpr uint32_t kModemStatusRlsdOn = 0x80;

// The device control block, field for field as the Win32 DCB (28 bytes there).
struct Dcb {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint8_t fBinary;
    uint8_t fParity;
    uint8_t fOutxCtsFlow;
    uint8_t fOutxDsrFlow;
    uint8_t fDtrControl;
    uint8_t fDsrSensitivity;
    uint8_t fTXContinueOnXoff;
    uint8_t fOutX;
    uint8_t fInX;
    uint8_t fErrorChar;
    uint8_t fNull;
    uint8_t fRtsControl;
    uint8_t fAbortOnError;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
};

// What a freshly opened port reports before anybody set it (as Windows
// reports it), for backends whose device keeps no such block of its own.
inline Dcb FreshDcb() {
    Dcb dcb{};
    dcb.DCBlength = 28;
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = kDtrControlEnable;
    dcb.fRtsControl = kRtsControlEnable;
    dcb.fTXContinueOnXoff = 1;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.EofChar = 0x1A;
    return dcb;
}

struct CommTimeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;  // ms
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

// A backend's functions; `state` is what its open returned. Each returns 0
// on success or the platform error code that GetLastError would give
// (platform/error.h).
struct SerialBackend {
    void* (*open)(const char* device, uint32_t* error);  // nullptr on failure
    uint32_t (*close)(void* state);
    uint32_t (*getState)(void* state, Dcb* dcb);
    uint32_t (*setState)(void* state, const Dcb* dcb);
    uint32_t (*getTimeouts)(void* state, CommTimeouts* timeouts);
    uint32_t (*setTimeouts)(void* state, const CommTimeouts* timeouts);
    uint32_t (*setupComm)(void* state, uint32_t inQueue, uint32_t outQueue);
    uint32_t (*clearError)(void* state, uint32_t* errors, uint32_t* bytesWaiting);
    uint32_t (*read)(void* state, void* buffer, uint32_t count, uint32_t* received);
    uint32_t (*write)(void* state, const void* buffer, uint32_t count, uint32_t* written);
    uint32_t (*escape)(void* state, uint32_t function);
    uint32_t (*modemStatus)(void* state, uint32_t* status);
};

// Sees what crosses an open port, for a capture of the line: every byte its
// reads brought and its writes took, DTR set and cleared, and the carrier
// when a modem status query finds it changed (off until first seen on).
// Called on the thread that made the call, after the backend returned.
struct SerialTap {
    void* user;
    void (*bytes)(void* user, bool outbound, const void* data, uint32_t size);
    void (*dtr)(void* user, bool raised);
    void (*carrier)(void* user, bool on);
};

// Ports whose name begins with `prefix` are opened by `backend`; every other
// name goes to the platform's own devices.
void RegisterSerialBackend(const char* prefix, const SerialBackend* backend);
void UnregisterSerialBackend(const char* prefix);

// The calls below mirror the Win32 comm calls: false (or kInvalidPortHandle)
// on failure, with LastError() telling why.
// CreateFileA(name, read|write, exclusive, OPEN_EXISTING).
PortHandle CommOpen(const char* name);
bool CommClose(PortHandle port);
bool CommGetState(PortHandle port, Dcb* dcb);
bool CommSetState(PortHandle port, const Dcb* dcb);
bool CommGetTimeouts(PortHandle port, CommTimeouts* timeouts);
bool CommSetTimeouts(PortHandle port, const CommTimeouts* timeouts);
bool CommSetup(PortHandle port, uint32_t inQueue, uint32_t outQueue);
// ClearCommError: clears the error state and tells the bytes waiting to be read.
bool CommClearError(PortHandle port, uint32_t* errors, uint32_t* bytesWaiting);
bool CommRead(PortHandle port, void* buffer, uint32_t count, uint32_t* received);
bool CommWrite(PortHandle port, const void* buffer, uint32_t count, uint32_t* written);
bool CommEscape(PortHandle port, uint32_t function);
bool CommModemStatus(PortHandle port, uint32_t* status);
// Puts `tap` (nullptr: none) on an open port; it must outlive the port's
// calls. Without a tap a port behaves exactly as before.
bool CommSetTap(PortHandle port, const SerialTap* tap);

}  // namespace platform
