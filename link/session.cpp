#include "link/session.h"

#include <cstdlib>

#include "common/byte_order.h"
#include "config/remote_access.h"
#include "host/korpro.h"
#include "link/frame.h"
#include "link/requests.h"
#include "platform/error.h"
#include "platform/time.h"
#include "serial/port.h"

namespace {

// CLOCK_MAX_STEP_SEC: true (with its log line) when the asked time lies too
// far from the station's own. A time that names no real moment is left to
// SetSystemClock, which refuses it with its own error.
bool ClockStepRefused(const StationContext* ctx, const platform::SystemTime& utc) {
    if (!platform::ValidSystemTime(utc)) return false;
    const int32_t now = platform::CalendarTime();
    if (ClockStepAllowed(ctx, platform::SystemTimeSeconds(utc) - now)) return false;
    const platform::SystemTime own = platform::SystemTimeAt(now);
    err(kLogError,
        "TELDRV> DoTheCom() WARNING, clock not set to %04u-%02u-%02u %02u:%02u:%02u UTC, station clock "
        "%04u-%02u-%02u %02u:%02u:%02u UTC: step above CLOCK_MAX_STEP_SEC",
        unsigned{utc.wYear}, unsigned{utc.wMonth}, unsigned{utc.wDay}, unsigned{utc.wHour}, unsigned{utc.wMinute},
        unsigned{utc.wSecond}, unsigned{own.wYear}, unsigned{own.wMonth}, unsigned{own.wDay}, unsigned{own.wHour},
        unsigned{own.wMinute}, unsigned{own.wSecond});
    return true;
}

// The log line of a request whose body has the wrong length (received, then
// expected), one message per request.
const char* WrongLengthMessage(uint8_t request) {
    switch (request) {
        case FE_REQ_STATION:
            return "TELDRV> DoTheCom() error, received FE_REQ_STATION request with wrong length (%u i.s.o. %u)";
        case FE_REQ_SYNC_CLOCK:
            return "TELDRV> DoTheCom() error, received FE_REQ_SYNC_CLOCK request with wrong length (%u i.s.o. %u)";
        case FE_REQ_HANG_UP:
            return "TELDRV> DoTheCom() error, received FE_REQ_HANG_UP request with wrong length (%u i.s.o. %u)";
        case FE_REQ_START_ONLINE:
            return "TELDRV> DoTheCom() error, received FE_REQ_START_ONLINE request with wrong length (%u i.s.o. %u)";
        case FE_REQ_CONT_ONLINE:
            return "TELDRV> DoTheCom() error, received FE_REQ_CONT_ONLINE request with wrong length (%u i.s.o. %u)";
        case FE_REQ_START_HISTORY:
            return "TELDRV> DoTheCom() error, received FE_REQ_START_HISTORY request with wrong length (%u i.s.o. %u)";
        default:  // FE_REQ_CONT_HISTORY, the one left
            return "TELDRV> DoTheCom() error, received FE_REQ_CONT_HISTORY request with wrong length (%u i.s.o. %u)";
    }
}

}  // namespace

void Reject(SessionState* session) {
    responseBuffer[0] = kRejectResponse;
    session->responseLength = 1;
}

bool LengthAccepted(uint8_t request, uint16_t length, uint16_t expected, SessionState* session) {
    if (length == expected) return true;
    err(kLogInfo, WrongLengthMessage(request), static_cast<unsigned>(length), unsigned{expected});
    Reject(session);
    return false;
}

void RequestStation(StationContext* ctx, const uint8_t*, uint16_t length, SessionState* session) {
    if (!LengthAccepted(FE_REQ_STATION, length, 1, session)) return;
    responseBuffer[0] = FE_REQ_STATION + kResponseCodeOffset;
    responseBuffer[1] = ctx->stationNumber;
    responseBuffer[2] = ctx->stationNumber;
    responseBuffer[3] = ctx->stationNumber;
    session->responseLength = 4;
}

void RequestSyncClock(StationContext* ctx, const uint8_t* body, uint16_t length, SessionState* session) {
    if (!LengthAccepted(FE_REQ_SYNC_CLOCK, length, 17, session)) return;
    // The SYSTEMTIME lies unaligned at offset 1, little-endian.
    const uint8_t* fields = body + 1;
    const platform::SystemTime utc = {Le16(fields),      Le16(fields + 2),  Le16(fields + 4),  Le16(fields + 6),
                                      Le16(fields + 8),  Le16(fields + 10), Le16(fields + 12), Le16(fields + 14)};
    if (!ClockStepRefused(ctx, utc) && !platform::SetSystemClock(utc)) {
        err(kLogInfo, "TELDRV> DoTheCom() error, setting system clock, err %u",
            static_cast<unsigned>(platform::LastError()));
    }
    // The central is not told whether the clock was set.
    responseBuffer[0] = FE_REQ_SYNC_CLOCK + kResponseCodeOffset;
    session->responseLength = 1;
}

void RequestHangUp(StationContext* ctx, const uint8_t*, uint16_t length, SessionState* session) {
    if (!LengthAccepted(FE_REQ_HANG_UP, length, 1, session)) return;
    session->hangUpReceived = true;
    StoreShared<uint8_t>(ctx->onlineActive, 0);
    responseBuffer[0] = FE_REQ_HANG_UP + kResponseCodeOffset;
    session->responseLength = 1;
}

void HandleRequest(StationContext* ctx, const uint8_t* body, uint16_t length, SessionState* session) {
    switch (body[0]) {
        case FE_REQ_SYNC_CLOCK: RequestSyncClock(ctx, body, length, session); break;
        case FE_REQ_START_HISTORY: RequestStartHistory(ctx, body, length, session); break;
        case FE_REQ_CONT_ONLINE: RequestContOnline(ctx, body, length, session); break;
        case FE_REQ_START_ONLINE: RequestStartOnline(ctx, body, length, session); break;
        case FE_REQ_STATION: RequestStation(ctx, body, length, session); break;
        case FE_REQ_CONT_HISTORY: RequestContHistory(ctx, body, length, session); break;
        case FE_REQ_HANG_UP: RequestHangUp(ctx, body, length, session); break;
        default:
            err(kLogInfo, "TELDRV> DoTheCom() error, received unknown request %02xh", body[0]);
            Reject(session);
    }
}

SessionResult DoTheCom(StationContext* ctx) {
    using enum LinkResult;
    SessionState session{};
    session.previousLength = 2;
    session.lastSequence = kNoSequence;
    session.hangUpReceived = false;
    session.historyOpen = false;

    PurgeInput(Port(ctx));
    StoreShared<uint8_t>(ctx->linkActive, 1);
    do {
        uint16_t length = 0;
        const LinkResult received = Receive(ctx, requestBuffer, &length);
        if (received == kLinkGone) {
            StoreShared<uint8_t>(ctx->linkActive, 0);
            continue;
        }
        if (received == kLinkFrameFailed) {
            PurgeInput(Port(ctx));
            continue;
        }
        HandleRequest(ctx, requestBuffer, length, &session);
        const LinkResult sent = Send(ctx, responseBuffer, session.responseLength);
        if (sent == kLinkGone) {
            StoreShared<uint8_t>(ctx->linkActive, 0);
        } else if (sent == kLinkFrameFailed) {
            PurgeInput(Port(ctx));
        }
    } while (LoadShared(ctx->linkActive) != 0 && !session.hangUpReceived);

    StoreShared<uint8_t>(ctx->onlineActive, 0);
    if (session.historyOpen) CloseHistory(&session);
    if (session.hangUpReceived) platform::Sleep(3000);
    return session.hangUpReceived ? SessionResult::kSessionHungUp : SessionResult::kSessionLinkLost;
}
