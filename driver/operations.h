// The host operations reached through VpiMain's table, one routine each.
#pragma once

#include <cstdint>

#include "host/records.h"

using VpiOperation = int32_t (*)(VpiCallBlock* call);

constexpr uint32_t kOperationSlots = 16;

int32_t ColdStart(VpiCallBlock* call);
int32_t WarmStart(VpiCallBlock* call);
int32_t SingleAddressParser(VpiCallBlock* call);
int32_t BlockAddressParser(VpiCallBlock* call);
int32_t SingleRead(VpiCallBlock* call);
int32_t BlockRead(VpiCallBlock* call);
int32_t SingleWrite(VpiCallBlock* call);
int32_t BlockWrite(VpiCallBlock* call);
int32_t EndVpi(VpiCallBlock* call);
int32_t CloseCom(VpiCallBlock* call);
int32_t ReOpenCom(VpiCallBlock* call);
int32_t GetVpiInfo(VpiCallBlock* call);
int32_t ChangeVpiParams(VpiCallBlock* call);

// Slot i holds operation code i + 1; empty slots are nullptr.
extern const VpiOperation operationTable[kOperationSlots];

extern "C" int32_t VpiMain(VpiCallBlock* call);

// What GetVpiInfo hands the host.
extern const char kShortName[];
extern const char* const kBanner;
constexpr uint32_t kBannerLength = 223;
