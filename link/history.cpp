// History transfer: the central station opens a window of the host's history
// files and collects the station gates' records batch by batch.
#include "link/history.h"

#include <cstdlib>
#include <cstring>

#include "common/alloc_hook.h"
#include "common/byte_order.h"
#include "host/korpro.h"
#include "link/requests.h"
#include "platform/time.h"

namespace {

// Appends the station gates' records of one batch to the response; the others
// are dropped for good.
void ConvertBatch(const StationContext* ctx, const uint8_t* batch, uint32_t count, SessionState* session) {
    if (ctx->gateIdMap == nullptr) return;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* host = batch + static_cast<size_t>(i) * kHostHistoryRecordSize;
        const uint16_t gateId = Le16(host + kHostGateIdOffset);
        if (gateId >= ctx->gateIdMapSize) continue;
        const int16_t stationIndex = ctx->gateIdMap[gateId];
        if (stationIndex == -1) continue;
        uint8_t* out = responseBuffer + session->responseLength;
        PutLe16(out + kHistoryIndexOffset, static_cast<uint16_t>(stationIndex));
        std::memcpy(out + kHistoryPayloadOffset, host + kHostPayloadOffset, kHistoryPayloadSize);
        session->responseLength = static_cast<uint16_t>(session->responseLength + kHistoryRecordSize);
    }
}

}  // namespace

void FillHistoryFilter(uint8_t filter[kHistoryFilterSize], uint32_t startTime, uint32_t now) {
    PutLe32(filter + kFilterGatesOffset, kFilterAllGates);
    PutLe32(filter + kFilterStartOffset, startTime);
    PutLe32(filter + kFilterEndOffset, now + kHistoryWindowAhead);
    PutLe16(filter + kFilterReservedOffset, 0);
}

void RequestStartHistory(StationContext*, const uint8_t* body, uint16_t length, SessionState* session) {
    if (!LengthAccepted(FE_REQ_START_HISTORY, length, 5, session)) return;
    responseBuffer[0] = FE_REQ_START_HISTORY + kResponseCodeOffset;
    session->responseLength = 2;

    // A window opened earlier in this session is given up before the new
    // open, whatever that open answers: nothing stays open or allocated.
    if (session->historyOpen) CloseHistory(session);

    uint8_t filter[kHistoryFilterStorage] = {};
    FillHistoryFilter(filter, Le32(body + 1), static_cast<uint32_t>(platform::CalendarTime()));
    uint32_t handle = 0;
    const uint16_t result = static_cast<uint16_t>(Kor5VfiOpen(0, 0, 1, 0, filter, &handle));
    responseBuffer[1] = static_cast<uint8_t>(result & 0xFF);
    if (result != 0) {
        session->historyOpen = false;
        err(kLogInfo, "TELDRV> DoTheCom() open history files failed, Kor5VfiOpen() rc %u",
            static_cast<unsigned>(result));
    } else {
        session->historyHandle = handle;
        session->historyOpen = true;
        // The driver's allocator hook, so that a refused allocation can be tested.
        session->historyBuffer = static_cast<uint8_t*>(driverAlloc(kHistoryBufferSize));
        if (session->historyBuffer == nullptr) {
            session->historyOpen = false;
            err(kLogInfo, "TELDRV> DoTheCom() allocation history buffer failed");
            Kor5VfiClose(handle);
            responseBuffer[1] = kHistoryClosedStatus;
        }
    }
    session->lastSequence = 0;
}

void RequestContHistory(StationContext* ctx, const uint8_t* body, uint16_t length, SessionState* session) {
    if (!LengthAccepted(FE_REQ_CONT_HISTORY, length, 2, session)) return;
    responseBuffer[0] = FE_REQ_CONT_HISTORY + kResponseCodeOffset;
    const uint8_t sequence = body[1];
    if (sequence == session->lastSequence) {
        session->responseLength = session->previousLength;
        err(kLogRetry, "TELDRV> info, his retry sent");
        session->lastSequence = sequence;
        return;
    }
    session->responseLength = 2;
    if (!session->historyOpen) {
        responseBuffer[1] = kHistoryClosedStatus;
        err(kLogInfo, "TELDRV> DoTheCom() error, received FE_REQ_CONT_HISTORY request but VFI handle closed");
        return;
    }

    uint32_t count = 0;
    do {
        count = kHistoryBatch;
        const uint16_t result =
            static_cast<uint16_t>(Kor5VfiRead(session->historyHandle, &count, session->historyBuffer));
        responseBuffer[1] = static_cast<uint8_t>(result & 0xFF);
        if (result != 0) {
            err(kLogInfo, "TELDRV> DoTheCom() reading histy. files failed, Kor5VfiRead() rc %u",
                static_cast<unsigned>(result));
            break;
        }
        if (count > kHistoryBatch) {
            // The buffer holds no more; converting more would read past it.
            err(kLogInfo, "TELDRV> DoTheCom() Kor5VfiRead() delivered %u records i.s.o. at most %u, rest ignored",
                static_cast<unsigned>(count), static_cast<unsigned>(kHistoryBatch));
            count = kHistoryBatch;
        }
        ConvertBatch(ctx, session->historyBuffer, count, session);
    } while (count > 0 && session->responseLength == 2);

    session->previousLength = session->responseLength;
    session->lastSequence = sequence;
}

void CloseHistory(SessionState* session) {
    Kor5VfiClose(session->historyHandle);
    std::free(session->historyBuffer);
    session->historyBuffer = nullptr;
    session->historyOpen = false;
}
