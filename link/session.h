// The request session: one established connection, served request by request.
#pragma once

#include <cstdint>

#include "driver/context.h"

// Request codes and what the driver answers a rejected request with.
constexpr uint8_t FE_REQ_SYNC_CLOCK = 0x43;
constexpr uint8_t FE_REQ_START_HISTORY = 0x48;
constexpr uint8_t FE_REQ_CONT_ONLINE = 0x4D;
constexpr uint8_t FE_REQ_START_ONLINE = 0x4F;
constexpr uint8_t FE_REQ_STATION = 0x53;
constexpr uint8_t FE_REQ_CONT_HISTORY = 0x54;
constexpr uint8_t FE_REQ_HANG_UP = 0x58;
constexpr uint8_t kRejectResponse = 0x40;
constexpr uint8_t kResponseCodeOffset = 0x20;  // the response code is the request code in lower case

// No sequence byte can take this value, so the first continue request of a
// session is always answered fresh.
constexpr uint16_t kNoSequence = 0xFFFF;

// Variables of one call of DoTheCom, shared by the request routines.
struct SessionState {
    uint16_t responseLength;
    uint16_t previousLength;  // of the last fresh continue response
    uint16_t lastSequence;    // sequence byte of the last continue request answered
    bool hangUpReceived;
    bool historyOpen;
    uint32_t historyHandle;
    uint8_t* historyBuffer;
};

// What DoTheCom returns: a type of its own, like the link's results.
enum class SessionResult : uint8_t {
    kSessionHungUp = 0,    // the central ended the session with an accepted hang-up request
    kSessionLinkLost = 1,  // the link was lost, or the host stopped the session
};

SessionResult DoTheCom(StationContext* ctx);

// One request, answered in responseBuffer with session->responseLength set.
void HandleRequest(StationContext* ctx, const uint8_t* body, uint16_t length, SessionState* session);

// The request routines of this session.
void RequestStation(StationContext* ctx, const uint8_t* body, uint16_t length, SessionState* session);
void RequestSyncClock(StationContext* ctx, const uint8_t* body, uint16_t length, SessionState* session);
void RequestHangUp(StationContext* ctx, const uint8_t* body, uint16_t length, SessionState* session);

// The rejection response: 0x40 alone.
void Reject(SessionState* session);
// Every request's length rule: a body of another length than `expected` is
// logged with the request's own message and rejected. False then.
bool LengthAccepted(uint8_t request, uint16_t length, uint16_t expected, SessionState* session);
