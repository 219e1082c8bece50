#include "driver/context.h"

#include <cstring>

uint8_t stopFlag = 0;

thread_local constinit uint8_t requestBuffer[kBodyBufferSize] = {};
thread_local constinit uint8_t responseBuffer[kBodyBufferSize] = {};

namespace {
template <size_t N>
void SetText(char (&field)[N], const char* text) {
    static_assert(N > 0);
    std::strncpy(field, text, N - 1);
    field[N - 1] = '\0';
}
}  // namespace

void SetContextDefaults(StationContext* ctx) {
    ctx->comTimeout = 1000;
    StoreShared<uint8_t>(ctx->answerThreadRunning, 0);
    StoreShared<uint8_t>(ctx->linkActive, 0);
    StoreShared<uint8_t>(ctx->onlineActive, 0);
    ctx->stationNumber = 255;
    SetText(ctx->modemResetCmd, "ATZ");
    SetText(ctx->dialPrefix, "ATDT");
    SetText(ctx->hangUpCmd, "ATH0");
    SetText(ctx->autoAnswerCmd, "ATS0=1");
    SetText(ctx->noAnswerCmd, "ATS0=0");
    ctx->dialTimeout = 45;
    ctx->dialRetries = 3;
    ctx->dialRetryTime = 60;
    for (char*& number : ctx->phoneNumbers) number = nullptr;
    for (DialEntry& entry : ctx->dialEntries) StoreShared<uint8_t>(entry.reference, 0);
    ctx->stationGates = nullptr;
    ctx->gateIdMap = nullptr;
    ctx->alertClass = 2;
    ctx->alertSeverity = 1000;
    ctx->alertZone = 1000;
    ctx->changeBuffer = nullptr;
    ctx->changeCapacity = 1024;
    StoreShared<uint16_t>(ctx->changeWrite, 0);
    StoreShared<uint16_t>(ctx->changeRead, 0);
    ctx->changeReadSeen = 0;
    StoreShared<uint8_t>(ctx->onlineThreadRunning, 0);
    ctx->optIn = nullptr;
}
