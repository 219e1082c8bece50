// The host operations reached through VpiMain's table, one routine each.
#pragma once

#include <cstdint>

#include "host/records.h"

// What every operation answers the host. VpiMain hands the host the number
// (the host's ABI is a signed 32-bit result); inside the driver it is a type
// of its own, so that no other family's code can be returned by mistake.
enum class HostResult : int32_t {
    kHostDone = 0,
    kHostRefused = 1,       // refused or failed, always with a log line
    kHostNotAvailable = 2,  // an empty or unknown slot, an operation not offered, a port that
                            // refuses to close, a write to an address that is not the driver's gate
};

using VpiOperation = HostResult (*)(VpiCallBlock* call);

constexpr uint32_t kOperationSlots = 16;

HostResult ColdStart(VpiCallBlock* call);
HostResult WarmStart(VpiCallBlock* call);
HostResult SingleAddressParser(VpiCallBlock* call);
HostResult BlockAddressParser(VpiCallBlock* call);
HostResult SingleRead(VpiCallBlock* call);
HostResult BlockRead(VpiCallBlock* call);
HostResult SingleWrite(VpiCallBlock* call);
HostResult BlockWrite(VpiCallBlock* call);
HostResult EndVpi(VpiCallBlock* call);
HostResult CloseCom(VpiCallBlock* call);
HostResult ReOpenCom(VpiCallBlock* call);
HostResult GetVpiInfo(VpiCallBlock* call);
HostResult ChangeVpiParams(VpiCallBlock* call);

// Slot i holds operation code i + 1; empty slots are nullptr.
extern const VpiOperation operationTable[kOperationSlots];

extern "C" int32_t VpiMain(VpiCallBlock* call);

// What GetVpiInfo hands the host.
extern const char kShortName[];
extern const char* const kBanner;
constexpr uint32_t kBannerLength = 223;
