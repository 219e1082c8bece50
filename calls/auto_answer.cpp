#include "calls/auto_answer.h"

#include <cstdio>

#include "host/korpro.h"
#include "link/session.h"
#include "platform/error.h"
#include "platform/serial.h"
#include "platform/time.h"
#include "serial/modem.h"

namespace {

constexpr uint32_t kAlertRaised = 0x40000000;
constexpr uint32_t kAlertClass35 = 0x80000000;
constexpr uint32_t kAlertClass45 = 0x20000000;

// SingleWrite publishes an entry's reference last, so the other two fields
// are read only after a reference that is not 0.
bool EntryDue(DialEntry& entry) {
    if (LoadShared(entry.reference) == 0) return false;
    return LoadShared(entry.dueTime, std::memory_order_relaxed) <= platform::CalendarTime();
}

void CountFailedAttempt(StationContext* ctx, DialEntry& entry) {
    const uint8_t left = LoadShared(entry.retriesLeft, std::memory_order_relaxed);
    // An entry is never armed with 0 attempts; should one be, it ends here
    // rather than wrapping to 255.
    const uint8_t now = left > 0 ? static_cast<uint8_t>(left - 1) : 0;
    StoreShared(entry.retriesLeft, now, std::memory_order_relaxed);
    if (now == 0) {
        StoreShared<uint8_t>(entry.reference, 0);
        char text[kAlertTextSize];
        // The configured number, not the attempts made: 0 reads as 0.
        std::snprintf(text, sizeof text, "TELDRV, outgoing alarm call failed after %u retries",
                      static_cast<unsigned>(ctx->dialRetries));
        RaiseAlert(ctx, text);
        return;
    }
    StoreShared(entry.dueTime, platform::CalendarTime() + int32_t{ctx->dialRetryTime}, std::memory_order_relaxed);
}

void AlarmCall(StationContext* ctx, DialEntry& entry) {
    const uint8_t reference = LoadShared(entry.reference);
    const char* number = reference < kPhoneNumberSlots ? ctx->phoneNumbers[reference] : nullptr;
    AutoAnswerOff(ctx);
    ResetModem(ctx);
    if (DialModem(ctx, number, reference) != ModemResult::kModemOk) {
        CountFailedAttempt(ctx, entry);
    } else if (DoTheCom(ctx) == SessionResult::kSessionHungUp) {
        for (DialEntry& each : ctx->dialEntries) StoreShared<uint8_t>(each.reference, 0);
    } else {
        CountFailedAttempt(ctx, entry);
    }
    ResetModem(ctx);
}

}  // namespace

uint8_t DialAttempts(const StationContext* ctx) {
    if (ctx->dialRetries == 0) return 1;
    return ctx->dialRetries > 255 ? 255 : static_cast<uint8_t>(ctx->dialRetries);
}

void AutoAnswerThread(StationContext* ctx) {
    err(kLogInfo, "TELDRV> AutoAnswerThread() info: thread started");
    StoreShared<uint8_t>(ctx->answerThreadRunning, 1);
    ResetModem(ctx);
    while (!StopRequested()) {
        AutoAnswerOn(ctx);
        bool incoming = false;
        DialEntry* due = nullptr;
        while (!StopRequested() && !incoming && due == nullptr) {
            platform::Sleep(kAnswerPollMs);
            uint32_t status = 0;
            if (!platform::CommModemStatus(Port(ctx), &status)) {
                err(kLogError, "TELDRV> AutoAnswerThread() error, getting modem control signals status, err %u",
                    static_cast<unsigned>(platform::LastError()));
                break;
            }
            if ((status & platform::kModemStatusRlsdOn) != 0) {
                incoming = true;
                break;
            }
            for (DialEntry& entry : ctx->dialEntries) {
                if (EntryDue(entry)) {
                    due = &entry;
                    break;
                }
            }
        }
        if (incoming) {
            DoTheCom(ctx);
            ResetModem(ctx);
            AutoAnswerOn(ctx);
        }
        if (due != nullptr) AlarmCall(ctx, *due);
    }
    err(kLogInfo, "TELDRV> AutoAnswerThread() info: resetting modem...");
    ResetModem(ctx);
    AutoAnswerOff(ctx);
    // EndVpi may release the context as soon as this is 0: nothing of it is
    // touched afterwards.
    StoreShared<uint8_t>(ctx->answerThreadRunning, 0);
    err(kLogInfo, "TELDRV> AutoAnswerThread() info: thread stopped");
}

void RaiseAlert(StationContext* ctx, const char* text) {
    const uint16_t alertClass = ctx->alertClass;
    if (alertClass > 5) return;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    // The host takes the text as its format; the driver's texts hold no '%'.
    if (alertClass == 0) {
        err(kLogInfo, text);
        return;
    }
    if (alertClass == 1) {
        err(kLogError, text);
        return;
    }
    uint32_t flags = kAlertRaised;
    if (alertClass == 3 || alertClass == 5) flags |= kAlertClass35;
    if (alertClass >= 4) flags |= kAlertClass45;
    uint32_t attributes = 0;
    attributes |= 0x10;
    attributes |= 0x04;
    uint32_t alertId = 0;
    Kor5StartAlert(0, "FER", text, ctx->alertSeverity, flags, ctx->alertZone, 0, attributes, 0, 0, 1, 0xFFFF,
                   &alertId);
    err(kLogError, text);
#pragma GCC diagnostic pop
}
