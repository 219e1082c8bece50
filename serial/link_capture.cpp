#include "serial/link_capture.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "common/alloc_hook.h"
#include "config/opt_in.h"
#include "driver/context.h"
#include "host/korpro.h"
#include "platform/time.h"

namespace {

constexpr char kDescription[] =
    "teldrv link: outbound = station to central, inbound = central to station (the station's own capture)";

void ReportFailure(const char* name, int error) {
    err(kLogError, "TELDRV> LINK_CAPTURE error, cannot write '%s' (%s), the line is not captured", name,
        std::strerror(error));
}

// After every step: the first failure of the file is logged, once.
void CheckFile(LinkCaptureRun* run) {
    if (const int error = TakeCaptureFailure(&run->capture)) ReportFailure(run->capture.file.path.c_str(), error);
}

void TapBytes(void* user, bool outbound, const void* data, uint32_t size) {
    auto* run = static_cast<LinkCaptureRun*>(user);
    CaptureBytes(&run->capture, outbound, static_cast<const uint8_t*>(data), size, platform::WallClockUs());
    CheckFile(run);
}

void TapEvent(LinkCaptureRun* run, LineEvent event) {
    CaptureEvent(&run->capture, event, platform::WallClockUs());
    CheckFile(run);
}

void TapDtr(void* user, bool raised) {
    TapEvent(static_cast<LinkCaptureRun*>(user), raised ? LineEvent::kDtrRaised : LineEvent::kDtrDropped);
}

void TapCarrier(void* user, bool on) {
    TapEvent(static_cast<LinkCaptureRun*>(user), on ? LineEvent::kCarrierUp : LineEvent::kCarrierDown);
}

}  // namespace

void StartLinkCapture(StationContext* ctx) {
    OptInSettings* settings = OwnedOptIn(ctx);
    if (settings == nullptr || settings->linkCapture.name[0] == '\0') return;
    LinkCapture& setting = settings->linkCapture;
    void* memory = driverAlloc(sizeof(LinkCaptureRun));
    if (memory == nullptr) {
        ReportFailure(setting.name, ENOMEM);
        return;
    }
    auto* run = new (memory) LinkCaptureRun;
    run->tap = {run, TapBytes, TapDtr, TapCarrier};
    setting.run = run;
    const uint16_t kilobytes = setting.kilobytes != 0 ? setting.kilobytes : kLinkCaptureDefaultKb;
    if (!OpenLineCapture(&run->capture, setting.name, kDescription, uint64_t{kilobytes} * 1024u)) {
        CheckFile(run);
        return;
    }
    setting.tap = &run->tap;
}

void EndLinkCapture(LinkCaptureRun* run) {
    if (run == nullptr) return;
    CloseLineCapture(&run->capture);
    CheckFile(run);
    run->~LinkCaptureRun();
}
