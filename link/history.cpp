// History transfer is not built yet: its requests are rejected, never
// answered with a success the driver cannot back.
#include <cstdlib>

#include "host/korpro.h"
#include "link/requests.h"

void RequestStartHistory(StationContext*, const uint8_t* body, uint16_t, SessionState* session) {
    err(kLogInfo, "TELDRV> DoTheCom() error, request %02xh not available in this version", body[0]);
    Reject(session);
}

void RequestContHistory(StationContext*, const uint8_t* body, uint16_t, SessionState* session) {
    err(kLogInfo, "TELDRV> DoTheCom() error, request %02xh not available in this version", body[0]);
    Reject(session);
}

void CloseHistory(SessionState* session) {
    Kor5VfiClose(session->historyHandle);
    std::free(session->historyBuffer);
    session->historyBuffer = nullptr;
    session->historyOpen = false;
}
