// The on-line and history requests served inside the session.
#pragma once

#include <cstdint>

#include "driver/context.h"
#include "link/session.h"

void RequestStartOnline(StationContext* ctx, const uint8_t* body, uint16_t length, SessionState* session);
void RequestContOnline(StationContext* ctx, const uint8_t* body, uint16_t length, SessionState* session);
void RequestStartHistory(StationContext* ctx, const uint8_t* body, uint16_t length, SessionState* session);
void RequestContHistory(StationContext* ctx, const uint8_t* body, uint16_t length, SessionState* session);

// Closes the history files a session left open and releases their buffer.
void CloseHistory(SessionState* session);
