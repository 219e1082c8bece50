#include "config/init_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/alloc_hook.h"
#include "common/text.h"
#include "config/line_scan.h"
#include "config/opt_in.h"
#include "config/remote_access.h"
#include "config/station_gates.h"
#include "driver/context.h"
#include "host/korpro.h"

namespace {

constexpr char kStem[] = "TELDRV";
constexpr size_t kLineBufferSize = 256;
// The dial command holds 63 characters, the longest dial prefix 31 of them.
constexpr size_t kMaxPhoneNumberLength = 63 - (sizeof(StationContext::dialPrefix) - 1);

enum class Keyword {
    Station,
    OnlineGateBuffer,
    ComTimeout,
    Alerts,
    ModemNumber,
    ModemReset,
    ModemDialPrefix,
    ModemAutoAnswer,
    ModemDialTimeout,
    ModemDialRetries,
    ModemDialRetryTime,
    RemoteWrite,
    ClockMaxStep,
    ModemCheckMin,
    PortReopenSec,
    LinkCaptureKb,
    LinkCapture,
};

struct KeywordPattern {
    Keyword keyword;
    const char* pattern;
};

// Tried in this order; the first that yields all its values takes the line.
constexpr KeywordPattern kPatterns[] = {
    {Keyword::Station, " STATION = %u"},
    {Keyword::OnlineGateBuffer, " ONLINE_GATE_BUFFER = %u"},
    {Keyword::ComTimeout, " COM_TIMEOUT = %u"},
    {Keyword::Alerts, "ALERTS = %u , %u , %u"},
    {Keyword::ModemNumber, "MODEM_NUMBER %u = %s"},
    {Keyword::ModemReset, "MODEM_RESET = %s"},
    {Keyword::ModemDialPrefix, "MODEM_DIAL_PREFIX = %s"},
    {Keyword::ModemAutoAnswer, "MODEM_AUTO_ANSWER = %s"},
    {Keyword::ModemDialTimeout, "MODEM_DIAL_TIMEOUT = %u"},
    {Keyword::ModemDialRetries, "MODEM_DIAL_RETRIES = %u"},
    {Keyword::ModemDialRetryTime, "MODEM_DIAL_RETRY_TIME_SEC = %u"},
    {Keyword::RemoteWrite, "REMOTE_WRITE = %s"},
    {Keyword::ClockMaxStep, "CLOCK_MAX_STEP_SEC = %u"},
    {Keyword::ModemCheckMin, "MODEM_CHECK_MIN = %u"},
    {Keyword::PortReopenSec, "PORT_REOPEN_SEC = %u"},
    {Keyword::LinkCaptureKb, "LINK_CAPTURE_KB = %u"},
    {Keyword::LinkCapture, "LINK_CAPTURE = %s"},
};

// A supervision setting: its keyword, its range (0 is off) and its field.
struct SupervisionKeyword {
    const char* keyword;
    uint32_t lowest;
    uint32_t highest;
    uint16_t Supervision::*field;
};
constexpr SupervisionKeyword kModemCheckMin = {"MODEM_CHECK_MIN", 1, 1440, &Supervision::modemCheckMin};
constexpr SupervisionKeyword kPortReopenSec = {"PORT_REOPEN_SEC", 5, 3600, &Supervision::portReopenSec};

struct LineSource {
    const char* fileName;
    unsigned lineNumber;
    const char* text;  // the line as read, upper-cased, with its line end
};

FILE* OpenInitFile(uint32_t driverNumber, char (&fileName)[32]) {
    std::snprintf(fileName, sizeof fileName, "%s%02u.INT", kStem, static_cast<unsigned>(driverNumber));
    if (FILE* file = std::fopen(fileName, "r")) return file;
    std::snprintf(fileName, sizeof fileName, "%s%01u.INT", kStem, static_cast<unsigned>(driverNumber));
    if (FILE* file = std::fopen(fileName, "r")) return file;
    std::snprintf(fileName, sizeof fileName, "%s.INT", kStem);
    return std::fopen(fileName, "r");
}

// One read of at most 255 characters up to and including a line feed, as
// fgets(line, 256, file) gives it on the driver's own platform, where text
// mode turns a CR LF line end into a single line feed. False at the end of
// the file and on a read error.
bool ReadLine(FILE* file, char (&line)[kLineBufferSize]) {
    size_t length = 0;
    while (length < kLineBufferSize - 1) {
        int c = std::getc(file);
        if (c == EOF) break;
        if (c == '\r') {
            const int next = std::getc(file);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file);
            }
        }
        line[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    line[length] = '\0';
    return length > 0 && !std::ferror(file);
}

// Stores a command token unless it is longer than its field.
template <size_t N>
void StoreCommand(char (&field)[N], const char* keyword, const char* token, const LineSource& source) {
    const size_t length = std::strlen(token);
    if (length > N - 1) {
        err(kLogError, "TELDRV> ReadInitFile() error, %s value longer than %u characters, line %u in '%s'", keyword,
            static_cast<unsigned>(N - 1), source.lineNumber, source.fileName);
        return;
    }
    std::memcpy(field, token, length + 1);
}

void StorePhoneNumber(StationContext* ctx, uint32_t reference, const char* number, const LineSource& source) {
    if (reference == 0 || reference > 254) {
        err(kLogError, "TELDRV> ReadInitFile() error, MODEM_NUMBER %u out of range 1 to 254, line %u in '%s'",
            static_cast<unsigned>(reference), source.lineNumber, source.fileName);
        return;
    }
    const size_t length = std::strlen(number);
    if (length > kMaxPhoneNumberLength) {
        err(kLogError, "TELDRV> ReadInitFile() error, %s value longer than %u characters, line %u in '%s'",
            "MODEM_NUMBER", static_cast<unsigned>(kMaxPhoneNumberLength), source.lineNumber, source.fileName);
        return;
    }
    char*& slot = ctx->phoneNumbers[reference];
    std::free(slot);
    slot = static_cast<char*>(driverAlloc(length + 1));
    if (slot == nullptr) {
        err(kLogError, "TELDRV> ReadIntFile() Error, alloc mem for modem number, line %u in '%s'", source.lineNumber,
            source.fileName);
        return;
    }
    std::memcpy(slot, number, length + 1);
}

void ApplyStation(StationContext* ctx, uint32_t station, const LineSource& source) {
    if (station > 99) {
        err(kLogError, "TELDRV> ReadInitFile() WARNING: station number %02u out of range, line %u in '%s'",
            static_cast<unsigned>(station), source.lineNumber, source.fileName);
        return;
    }
    if (ctx->stationGates != nullptr) {
        err(kLogError, "TELDRV> ReadInitFile() WARNING: station number %02u already defined, line %u in '%s'",
            static_cast<unsigned>(station), source.lineNumber, source.fileName);
        return;
    }
    // The station is named even when its gate file fails; a later STATION
    // line may then try again.
    ReadStationData(ctx, static_cast<uint8_t>(station));
    ctx->stationNumber = static_cast<uint8_t>(station);
}

void ApplyOnlineGateBuffer(StationContext* ctx, uint32_t records, const LineSource& source) {
    const auto capacity = static_cast<uint16_t>(records);
    // The change buffer's positions are taken modulo its capacity.
    if (capacity == 0) {
        err(kLogError, "TELDRV> ReadInitFile() error, ONLINE_GATE_BUFFER %u gives no records, line %u in '%s'",
            static_cast<unsigned>(records), source.lineNumber, source.fileName);
        return;
    }
    if (capacity < 100) err(kLogError, "TELDRV> ReadInitFile() WARNING: ONLINE_GATE_BUFFER is smaller than 100 records");
    ctx->changeCapacity = capacity;
}

void ApplyComTimeout(StationContext* ctx, uint32_t seconds, const LineSource& source) {
    // A read time-out of 0 means no time-out at all on the port: a silent
    // line would then hold the session, and EndVpi with it, for ever. The
    // port holds it in 32-bit milliseconds, where a larger value wraps.
    const uint64_t milliseconds = uint64_t{seconds} * 1000u;
    if (milliseconds == 0 || milliseconds > UINT32_MAX) {
        err(kLogError, "TELDRV> ReadInitFile() error, COM_TIMEOUT %u gives no time-out, line %u in '%s'",
            static_cast<unsigned>(seconds), source.lineNumber, source.fileName);
        return;
    }
    if (seconds > 20) err(kLogError, "TELDRV> ReadInitFile() WARNING: COM_TIMEOUT is bigger than 20 seconds");
    ctx->comTimeout = seconds * 100u;
}

void ApplyAlerts(StationContext* ctx, const uint32_t (&alert)[kScanNumberSlots], const LineSource& source) {
    const char* problem = nullptr;
    if (alert[0] > 5) {
        problem = "class";
    } else if (alert[1] > 50000) {
        problem = "severity";
    } else if (alert[2] > 50000) {
        problem = "zone";
    }
    if (problem != nullptr) {
        err(kLogError, "TELDRV> ReadIntFile() illegal alert %s in '%s', line %u in '%s'", problem, source.text,
            source.lineNumber, source.fileName);
        return;
    }
    ctx->alertClass = static_cast<uint16_t>(alert[0]);
    ctx->alertSeverity = static_cast<uint16_t>(alert[1]);
    ctx->alertZone = static_cast<uint16_t>(alert[2]);
}

// The opt-in block for a keyword's setting, or nullptr with the line logged.
OptInSettings* OptInFor(StationContext* ctx, const char* keyword, const LineSource& source) {
    OptInSettings* settings = OwnOptIn(ctx);
    if (settings == nullptr) {
        err(kLogError, "TELDRV> ReadInitFile() error, alloc mem for %s, line %u in '%s', line ignored", keyword,
            source.lineNumber, source.fileName);
    }
    return settings;
}

// 0 switches the supervision off, as a file without the keyword leaves it;
// a value out of its range is refused and changes nothing.
void ApplySupervision(StationContext* ctx, const SupervisionKeyword& setting, uint32_t value,
                      const LineSource& source) {
    if (value != 0 && (value < setting.lowest || value > setting.highest)) {
        err(kLogError, "TELDRV> ReadInitFile() error, %s %u out of range %u to %u, line %u in '%s'", setting.keyword,
            static_cast<unsigned>(value), static_cast<unsigned>(setting.lowest),
            static_cast<unsigned>(setting.highest), source.lineNumber, source.fileName);
        return;
    }
    if (value == 0 && OwnedOptIn(ctx) == nullptr) return;
    OptInSettings* settings = OptInFor(ctx, setting.keyword, source);
    if (settings != nullptr) settings->supervision.*setting.field = static_cast<uint16_t>(value);
}

// A bare name: the capture goes into the working directory, as every other
// file of the driver, and nowhere else.
void ApplyLinkCapture(StationContext* ctx, const char* name, const LineSource& source) {
    const size_t length = std::strlen(name);
    if (length >= kLinkCaptureNameSize || std::strpbrk(name, "/\\:") != nullptr || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0) {
        err(kLogError, "TELDRV> ReadInitFile() error, LINK_CAPTURE takes a bare file name of at most %u characters, "
            "line %u in '%s'",
            static_cast<unsigned>(kLinkCaptureNameSize - 1), source.lineNumber, source.fileName);
        return;
    }
    if (OptInSettings* settings = OptInFor(ctx, "LINK_CAPTURE", source)) {
        std::memcpy(settings->linkCapture.name, name, length + 1);
    }
}

void ApplyLinkCaptureKb(StationContext* ctx, uint32_t kilobytes, const LineSource& source) {
    if (kilobytes < 64 || kilobytes > 65535) {
        err(kLogError, "TELDRV> ReadInitFile() error, %s %u out of range %u to %u, line %u in '%s'", "LINK_CAPTURE_KB",
            static_cast<unsigned>(kilobytes), 64u, 65535u, source.lineNumber, source.fileName);
        return;
    }
    if (OptInSettings* settings = OptInFor(ctx, "LINK_CAPTURE_KB", source)) {
        settings->linkCapture.kilobytes = static_cast<uint16_t>(kilobytes);
    }
}

// The whole list after the "=", not only the first name the pattern took.
void ApplyRemoteWriteLine(StationContext* ctx, const LineSource& source) {
    ApplyRemoteWrite(ctx, std::strchr(source.text, '=') + 1, source.lineNumber, source.fileName);
}

void ApplyLine(StationContext* ctx, const LineSource& source) {
    ScanValues values;
    for (const KeywordPattern& entry : kPatterns) {
        if (!ScanLine(source.text, entry.pattern, &values)) continue;
        const uint32_t number = values.numbers[0];
        switch (entry.keyword) {
            case Keyword::Station: ApplyStation(ctx, number, source); break;
            case Keyword::OnlineGateBuffer: ApplyOnlineGateBuffer(ctx, number, source); break;
            case Keyword::ComTimeout: ApplyComTimeout(ctx, number, source); break;
            case Keyword::Alerts: ApplyAlerts(ctx, values.numbers, source); break;
            case Keyword::ModemNumber: StorePhoneNumber(ctx, number, values.text, source); break;
            case Keyword::ModemReset: StoreCommand(ctx->modemResetCmd, "MODEM_RESET", values.text, source); break;
            case Keyword::ModemDialPrefix:
                StoreCommand(ctx->dialPrefix, "MODEM_DIAL_PREFIX", values.text, source);
                break;
            case Keyword::ModemAutoAnswer:
                StoreCommand(ctx->autoAnswerCmd, "MODEM_AUTO_ANSWER", values.text, source);
                break;
            case Keyword::ModemDialTimeout: ctx->dialTimeout = static_cast<uint16_t>(number); break;
            case Keyword::ModemDialRetries: ctx->dialRetries = static_cast<uint16_t>(number); break;
            case Keyword::ModemDialRetryTime: ctx->dialRetryTime = static_cast<uint16_t>(number); break;
            case Keyword::RemoteWrite: ApplyRemoteWriteLine(ctx, source); break;
            case Keyword::ClockMaxStep:
                ApplyClockMaxStep(ctx, number, source.lineNumber, source.fileName);
                break;
            case Keyword::ModemCheckMin: ApplySupervision(ctx, kModemCheckMin, number, source); break;
            case Keyword::PortReopenSec: ApplySupervision(ctx, kPortReopenSec, number, source); break;
            case Keyword::LinkCaptureKb: ApplyLinkCaptureKb(ctx, number, source); break;
            case Keyword::LinkCapture: ApplyLinkCapture(ctx, values.text, source); break;
        }
        return;
    }
    if (source.text[0] == '\n' || source.text[0] == ';') return;
    err(kLogError, "TELDRV> ReadIntFile() illegal line %u in '%s'", source.lineNumber, source.fileName);
}

}  // namespace

const char* InitFilePattern(unsigned index) {
    return index < std::size(kPatterns) ? kPatterns[index].pattern : nullptr;
}

void ReadInitFile(VpiCallBlock* call) {
    auto* ctx = static_cast<StationContext*>(call->context);
    char fileName[32];
    FILE* file = OpenInitFile(call->driverNumber, fileName);
    if (file == nullptr) {
        err(kLogError, "TELDRV> ColdStart() Warning, no initfile found");
        return;
    }
    struct FileCloser {
        FILE* file;
        ~FileCloser() { std::fclose(file); }
    } closer{file};

    uint16_t lineNumber = 0;
    char line[kLineBufferSize];
    while (ReadLine(file, line)) {
        ++lineNumber;
        AsciiUpperCase(line);
        ApplyLine(ctx, LineSource{fileName, lineNumber, line});
    }
    ReportUnknownRemoteWriteNames(ctx, fileName);
}
