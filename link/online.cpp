// On-line transfer is not built yet: its requests are rejected, never
// answered with a success the driver cannot back.
#include "host/korpro.h"
#include "link/requests.h"

void RequestStartOnline(StationContext*, const uint8_t* body, uint16_t, SessionState* session) {
    err(kLogInfo, "TELDRV> DoTheCom() error, request %02xh not available in this version", body[0]);
    Reject(session);
}

void RequestContOnline(StationContext*, const uint8_t* body, uint16_t, SessionState* session) {
    err(kLogInfo, "TELDRV> DoTheCom() error, request %02xh not available in this version", body[0]);
    Reject(session);
}
