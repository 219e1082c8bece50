// VpiMain, its operation table, GetVpiInfo and the operations that only log.
#include <array>

#include "driver/context.h"
#include "driver/export.h"
#include "driver/operations.h"
#include "host/korpro.h"

using enum HostResult;

namespace {

constexpr char kBannerTitle[] = " TELDRVEM:  Korvan 7 front-end, remote station VPI DLL";
static_assert(sizeof(kBannerTitle) - 1 == 54);

// A code page 437 box: lead-in BS LF, then three 73-character lines.
constexpr std::array<char, kBannerLength + 1> MakeBanner() {
    std::array<char, kBannerLength + 1> text{};
    size_t at = 0;
    auto put = [&](char c) { text[at++] = c; };
    auto rule = [&](char left, char right) {
        put(left);
        for (int i = 0; i < 71; ++i) put('\xCD');
        put(right);
    };
    put('\x08');
    put('\x0A');
    rule('\xC9', '\xBB');
    put('\x0A');
    put('\xBA');
    for (size_t i = 0; i < sizeof(kBannerTitle) - 1; ++i) put(kBannerTitle[i]);
    for (int i = 0; i < 17; ++i) put(' ');
    put('\xBA');
    put('\x0A');
    rule('\xC8', '\xBC');
    put('\0');
    return at == kBannerLength + 1 ? text : std::array<char, kBannerLength + 1>{};
}

constexpr std::array<char, kBannerLength + 1> kBannerText = MakeBanner();
static_assert(kBannerText[0] == '\x08' && kBannerText[kBannerLength] == '\0');

}  // namespace

const char kShortName[] = "K7 Front-end remote";
const char* const kBanner = kBannerText.data();

const VpiOperation operationTable[kOperationSlots] = {
    ColdStart,         // 1
    WarmStart,         // 2
    SingleAddressParser,  // 3
    BlockAddressParser,   // 4
    SingleRead,        // 5
    BlockRead,         // 6
    SingleWrite,       // 7
    nullptr,           // 8
    nullptr,           // 9
    BlockWrite,        // 10
    EndVpi,            // 11
    CloseCom,          // 12
    ReOpenCom,         // 13
    GetVpiInfo,        // 14
    ChangeVpiParams,   // 15
    nullptr,           // 16
};

namespace {

HostResult Dispatch(VpiCallBlock* call) {
    // After EndVpi every call is answered as done and nothing runs.
    if (StopRequested()) return kHostDone;
    const uint32_t code = call->operationCode;
    if (code == 0 || code > kOperationSlots) return kHostNotAvailable;
    const VpiOperation operation = operationTable[code - 1];
    if (operation == nullptr) return kHostNotAvailable;
    return operation(call);
}

}  // namespace

// The host's ABI boundary: the one place a result becomes a number.
extern "C" TELDRV_EXPORT int32_t VpiMain(VpiCallBlock* call) { return static_cast<int32_t>(Dispatch(call)); }

HostResult GetVpiInfo(VpiCallBlock* call) {
    auto* info = static_cast<VpiInfo*>(call->parameters);
    info->typeCode = 70;
    info->shortName = kShortName;
    info->banner = kBanner;
    info->contextSize = kReportedContextSize;
    info->classCode = 4;
    info->defaultBaudRate = 19200;
    info->defaultDataBits = 8;
    info->defaultStopBits = 0;
    info->defaultParity = 0;
    info->extraWord = 0;
    err(kLogInfo, "TELDRV> GetVpiInfo() exited");
    return kHostDone;
}

HostResult WarmStart(VpiCallBlock*) {
    err(kLogInfo, "TELDRV> WarmStart() exited, 0");
    return kHostDone;
}

HostResult BlockAddressParser(VpiCallBlock*) {
    err(kLogInfo, "TELDRV> BlockParse() no blocks supported!!");
    return kHostRefused;
}

HostResult SingleRead(VpiCallBlock*) {
    err(kLogInfo, "TELDRV> SingleRead() not supported");
    return kHostRefused;
}

HostResult BlockRead(VpiCallBlock*) {
    err(kLogInfo, "TELDRV> BlockRead() not supported");
    return kHostRefused;
}

HostResult BlockWrite(VpiCallBlock*) {
    err(kLogInfo, "TELDRV> BlockWrite() not supported");
    return kHostRefused;
}

HostResult ReOpenCom(VpiCallBlock*) { return kHostNotAvailable; }

HostResult ChangeVpiParams(VpiCallBlock*) { return kHostNotAvailable; }
