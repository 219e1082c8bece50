#include "serial/port.h"

#include <cstring>

#include "config/opt_in.h"
#include "driver/context.h"
#include "platform/error.h"
#include "platform/serial.h"

using enum PortResult;

namespace {

constexpr uint32_t kDcbLength = 28;
constexpr char kErrorCharReplacement = static_cast<char>(0xFC);
constexpr int32_t kPurgeTimeoutUnits = 5;
constexpr uint32_t kPurgeBlock = 512;

uint8_t DtrControl(uint16_t options) {
    if (options & (kPortOptionDtrEnable | kPortOptionDtrEnableAlt)) return platform::kDtrControlEnable;
    if (options & kPortOptionDtrHandshake) return platform::kDtrControlHandshake;
    return platform::kDtrControlDisable;
}

uint8_t RtsControl(uint16_t options) {
    if (options & (kPortOptionRtsEnable | kPortOptionRtsEnableAlt)) return platform::kRtsControlEnable;
    if (options & kPortOptionRtsHandshake) return platform::kRtsControlHandshake;
    if (options & kPortOptionRtsToggle) return platform::kRtsControlToggle;
    return platform::kRtsControlDisable;
}

// Closes a port that failed half-way through its set-up, keeping the error
// of the step that failed for the caller to report.
void CloseFailedPort(platform::PortHandle port) {
    const uint32_t error = platform::LastError();
    platform::CommClose(port);
    platform::SetLastError(error);
}

}  // namespace

PortResult OpenPort(const char* name, const uint16_t* settings, uint16_t options, platform::PortHandle* handle) {
    const platform::PortHandle port = platform::CommOpen(name);
    *handle = port;
    if (port == platform::kInvalidPortHandle) return kPortOpenFailed;
    if (std::strcmp(name, "NUL") == 0) return kPortOk;

    platform::Dcb dcb{};
    dcb.DCBlength = kDcbLength;
    if (!platform::CommGetState(port, &dcb)) {
        CloseFailedPort(port);
        return kPortGetStateFailed;
    }

    const platform::CommTimeouts timeouts{0, 0, kPortOpenReadTimeoutMs, 0, 0};
    if (!platform::CommSetTimeouts(port, &timeouts)) {
        CloseFailedPort(port);
        return kPortOpenFailed;
    }

    dcb.BaudRate = settings[0];
    dcb.ByteSize = static_cast<uint8_t>(settings[1]);
    dcb.StopBits = static_cast<uint8_t>(settings[2]);
    dcb.Parity = static_cast<uint8_t>(settings[3]);
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fDtrControl = DtrControl(options);
    dcb.fRtsControl = RtsControl(options);
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fAbortOnError = 0;
    dcb.ErrorChar = kErrorCharReplacement;
    if (!platform::CommSetState(port, &dcb)) {
        CloseFailedPort(port);
        return kPortSetStateFailed;
    }

    platform::CommSetup(port, kPortQueueSize, kPortQueueSize);
    return kPortOk;
}

PortResult OpenStationPort(const StationContext* ctx, platform::PortHandle* handle) {
    const uint16_t settings[kPortSettingCount] = {ctx->baudRate, ctx->dataBits, ctx->stopBits, ctx->parity};
    const PortResult result = OpenPort(ctx->portName, settings, ctx->portOptions, handle);
    // LINK_CAPTURE: every port the station opens is captured, a reopened one too.
    if (result == kPortOk && ctx->optIn != nullptr && ctx->optIn->linkCapture.tap != nullptr) {
        platform::CommSetTap(*handle, ctx->optIn->linkCapture.tap);
    }
    return result;
}

PortResult ClosePort(platform::PortHandle port) { return platform::CommClose(port) ? kPortOk : kPortCallFailed; }

int32_t SetReadTimeout(platform::PortHandle port, int32_t units) {
    platform::CommTimeouts timeouts{};
    if (!platform::CommGetTimeouts(port, &timeouts)) return 0;
    const uint32_t previousMs = timeouts.ReadTotalTimeoutConstant;
    // DWORD arithmetic, as the port holds it: a negative count wraps.
    const uint32_t wantedMs = static_cast<uint32_t>(units) * 10u;
    if (previousMs != wantedMs) {
        timeouts.ReadTotalTimeoutConstant = wantedMs;
        if (!platform::CommSetTimeouts(port, &timeouts)) return 0;
    }
    return static_cast<int32_t>(previousMs / 10u);
}

PortResult PurgeInput(platform::PortHandle port) {
    uint32_t errors = 0;
    uint32_t waiting = 0;
    if (platform::CommClearError(port, &errors, &waiting) && waiting == 0) return kPortOk;

    const int32_t previous = SetReadTimeout(port, kPurgeTimeoutUnits);
    uint8_t scratch[kPurgeBlock];
    bool readOk;
    uint32_t got;
    do {
        got = 0;
        readOk = platform::CommRead(port, scratch, kPurgeBlock, &got);
    } while (readOk && got == kPurgeBlock);
    if (previous != 0) SetReadTimeout(port, previous);
    return readOk ? kPortOk : kPortOpenFailed;
}

PortResult ReadExact(platform::PortHandle port, void* buffer, uint32_t count, uint32_t* received) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    uint32_t total = 0;
    if (received) *received = 0;
    do {
        const uint16_t missing = static_cast<uint16_t>(count - total);
        uint32_t got = 0;
        if (!platform::CommRead(port, bytes + total, missing, &got) || got == 0) return kPortCallFailed;
        total += got;
        if (received) *received = total;
    } while (total < count);
    return kPortOk;
}

PortResult WriteAll(platform::PortHandle port, const void* buffer, uint32_t count, uint32_t* written) {
    uint32_t done = 0;
    if (!platform::CommWrite(port, buffer, count, &done)) return kPortCallFailed;
    if (written) *written = done;
    return done == count ? kPortOk : kPortShortWrite;
}
