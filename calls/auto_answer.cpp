#include "calls/auto_answer.h"

#include <cstdio>

#include "config/opt_in.h"
#include "host/korpro.h"
#include "link/session.h"
#include "platform/error.h"
#include "platform/serial.h"
#include "platform/time.h"
#include "serial/modem.h"
#include "serial/port.h"

namespace {

constexpr uint32_t kAlertRaised = 0x40000000;
constexpr uint32_t kAlertClass35 = 0x80000000;
constexpr uint32_t kAlertClass45 = 0x20000000;
constexpr uint8_t kFailedChecksForAlert = 3;
constexpr uint64_t kMsPerSecond = 1000;
constexpr uint64_t kMsPerMinute = 60 * kMsPerSecond;

// What ended a pass's wait for calls.
enum class Wake : uint8_t { kStop, kIncoming, kAlarm, kStatusFailed };

// The supervision as the thread keeps it: the settings, taken once, and the
// counters, which no other thread touches. Without MODEM_CHECK_MIN and
// PORT_REOPEN_SEC all of it stays 0 and nothing of it is acted on.
struct Watch {
    uint64_t checkEveryMs;    // MODEM_CHECK_MIN
    uint64_t reopenEveryMs;   // PORT_REOPEN_SEC
    uint64_t quietSinceMs;    // the end of the last call, check or reopening
    uint64_t failingSinceMs;  // the first modem status failure of a row
    bool statusFailing;
    uint8_t failedChecks;  // in a row, held at kFailedChecksForAlert
};

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

DialEntry* DueEntry(StationContext* ctx) {
    for (DialEntry& entry : ctx->dialEntries) {
        if (EntryDue(entry)) return &entry;
    }
    return nullptr;
}

Watch StartWatch(const StationContext* ctx) {
    Watch watch{};
    if (const OptInSettings* settings = ctx->optIn) {
        watch.checkEveryMs = settings->supervision.modemCheckMin * kMsPerMinute;
        watch.reopenEveryMs = settings->supervision.portReopenSec * kMsPerSecond;
    }
    if (watch.checkEveryMs != 0) watch.quietSinceMs = platform::MonotonicMs();
    return watch;
}

// A call either way, a check or a port opened again restarts the minutes
// until the next check.
void Quiet(Watch* watch) {
    if (watch->checkEveryMs != 0) watch->quietSinceMs = platform::MonotonicMs();
}

bool CheckDue(const Watch& watch) {
    return watch.checkEveryMs != 0 && platform::MonotonicMs() - watch.quietSinceMs >= watch.checkEveryMs;
}

// An alert whose text names the port. The host's log takes the text as its
// format, so a '%' in the name goes in as '?'.
void RaiseAlertNamingPort(StationContext* ctx, const char* format) {
    char name[sizeof ctx->portName];
    for (size_t i = 0; i < sizeof name; ++i) name[i] = ctx->portName[i] == '%' ? '?' : ctx->portName[i];
    name[sizeof name - 1] = '\0';
    char text[kAlertTextSize];
    std::snprintf(text, sizeof text, format, name);
    RaiseAlert(ctx, text);
}

// The auto-answer command once more, its reply read as AutoAnswerOn reads
// it: proves that the modem answers, and gives auto-answer back to a modem
// that lost it. A modem that fails is reset; the third failure in a row
// tells the host, once.
void CheckModem(StationContext* ctx, Watch* watch) {
    const platform::PortHandle port = Port(ctx);
    if (SendModemCmd(port, ctx->autoAnswerCmd) == ModemResult::kModemOk &&
        WaitModemOk(port, ctx->autoAnswerCmd) == ModemResult::kModemOk) {
        if (watch->failedChecks >= kFailedChecksForAlert) {
            err(kLogError, "TELDRV> CheckModem() info, modem '%s' answering again", ctx->portName);
        }
        watch->failedChecks = 0;
        Quiet(watch);
        return;
    }
    err(kLogError, "TELDRV> CheckModem() error, modem '%s' did not answer its check, resetting", ctx->portName);
    if (watch->failedChecks < kFailedChecksForAlert && ++watch->failedChecks == kFailedChecksForAlert) {
        RaiseAlertNamingPort(ctx, "TELDRV, modem '%s' not answering");
    }
    // On stopFlag the stop sequence resets the modem: a check holds EndVpi
    // for one dialogue at most.
    if (!StopRequested()) {
        ResetModem(ctx);
        AutoAnswerOn(ctx);
    }
    Quiet(watch);
}

// Whether the modem status query, failing now, has failed in every poll for
// PORT_REOPEN_SEC. A port the host closed (handle 0) is not lost.
bool PortLost(StationContext* ctx, Watch* watch) {
    if (watch->reopenEveryMs == 0 || Port(ctx) == 0) return false;
    const uint64_t now = platform::MonotonicMs();
    if (!watch->statusFailing) {
        watch->statusFailing = true;
        watch->failingSinceMs = now;
    }
    return now - watch->failingSinceMs >= watch->reopenEveryMs;
}

bool PortKeptClosed(StationContext* ctx) {
    OptInSettings* settings = ctx->optIn;
    return settings != nullptr && LoadShared(settings->supervision.portClosedByHost, std::memory_order_seq_cst) != 0;
}

// Waits in poll steps; false as soon as stopFlag is set or the host has
// closed the port.
bool WaitWhileAway(StationContext* ctx, uint64_t ms) {
    const uint64_t until = platform::MonotonicMs() + ms;
    for (;;) {
        if (StopRequested() || PortKeptClosed(ctx)) return false;
        if (platform::MonotonicMs() >= until) return true;
        platform::Sleep(kAnswerPollMs);
    }
}

// The port opened again goes where CloseCom takes it from; a CloseCom that
// came meanwhile gets it, or it is closed here. Both sides write before they
// read (sequentially consistent), so one of them sees the other.
bool PublishPort(StationContext* ctx, platform::PortHandle handle) {
    StoreShared(ctx->portHandle, handle, std::memory_order_seq_cst);
    if (!PortKeptClosed(ctx)) return true;
    const platform::PortHandle back =
        ExchangeShared<platform::PortHandle>(ctx->portHandle, 0, std::memory_order_seq_cst);
    if (back != 0) ClosePort(back);
    return false;
}

// The device is gone: the port is closed, the host told once, and the port
// opened by its name every PORT_REOPEN_SEC (failed tries are not logged)
// until it opens; then the modem is reset and auto-answer switched on. False
// when stopFlag or the host's CloseCom ended it.
bool ReopenPort(StationContext* ctx, Watch* watch) {
    const platform::PortHandle lost =
        ExchangeShared<platform::PortHandle>(ctx->portHandle, 0, std::memory_order_seq_cst);
    if (lost == 0) return false;  // the host closed it meanwhile
    ClosePort(lost);
    err(kLogError, "TELDRV> ReopenPort() error, port '%s' lost, reopening every %u s", ctx->portName,
        static_cast<unsigned>(watch->reopenEveryMs / kMsPerSecond));
    RaiseAlertNamingPort(ctx, "TELDRV, port '%s' lost");
    platform::PortHandle handle = 0;
    do {
        if (!WaitWhileAway(ctx, watch->reopenEveryMs)) return false;
    } while (OpenStationPort(ctx, &handle) != PortResult::kPortOk);
    if (!PublishPort(ctx, handle)) return false;
    err(kLogError, "TELDRV> ReopenPort() info, port '%s' open again", ctx->portName);
    if (!StopRequested()) {
        ResetModem(ctx);
        AutoAnswerOn(ctx);
    }
    watch->statusFailing = false;
    Quiet(watch);
    return true;
}

// One pass's wait for calls: a poll every 100 ms until the carrier comes, an
// alarm call falls due, stopFlag is set or the modem status fails; on the
// way the modem is checked and a lost port opened again.
Wake WaitForCall(StationContext* ctx, Watch* watch, DialEntry** due) {
    while (!StopRequested()) {
        platform::Sleep(kAnswerPollMs);
        uint32_t status = 0;
        if (!platform::CommModemStatus(Port(ctx), &status)) {
            err(kLogError, "TELDRV> AutoAnswerThread() error, getting modem control signals status, err %u",
                static_cast<unsigned>(platform::LastError()));
            if (PortLost(ctx, watch) && ReopenPort(ctx, watch)) continue;
            return Wake::kStatusFailed;
        }
        watch->statusFailing = false;
        if ((status & platform::kModemStatusRlsdOn) != 0) return Wake::kIncoming;
        if ((*due = DueEntry(ctx)) != nullptr) return Wake::kAlarm;
        if (CheckDue(*watch) && !StopRequested()) CheckModem(ctx, watch);
    }
    return Wake::kStop;
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
    Watch watch = StartWatch(ctx);
    while (!StopRequested()) {
        AutoAnswerOn(ctx);
        DialEntry* due = nullptr;
        const Wake wake = WaitForCall(ctx, &watch, &due);
        if (wake == Wake::kIncoming) {
            DoTheCom(ctx);
            ResetModem(ctx);
            AutoAnswerOn(ctx);
        } else if (wake == Wake::kAlarm) {
            AlarmCall(ctx, *due);
        }
        if (wake == Wake::kIncoming || wake == Wake::kAlarm) Quiet(&watch);
    }
    err(kLogInfo, "TELDRV> AutoAnswerThread() info: resetting modem...");
    ResetModem(ctx);
    AutoAnswerOff(ctx);
    // EndVpi may release the context as soon as this is 0: nothing of it is
    // touched afterwards.
    StoreShared<uint8_t>(ctx->answerThreadRunning, 0);
    err(kLogInfo, "TELDRV> AutoAnswerThread() info: thread stopped");
}

void KeepPortClosed(StationContext* ctx) {
    // Only a context that may open its port again has the flag; the shared
    // block of one that had no memory for its own is never written.
    OptInSettings* settings = OwnedOptIn(ctx);
    if (settings != nullptr && settings->supervision.portReopenSec != 0) {
        StoreShared<uint8_t>(settings->supervision.portClosedByHost, 1, std::memory_order_seq_cst);
    }
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
