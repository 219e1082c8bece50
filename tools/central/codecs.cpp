#include "tools/central/codecs.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/byte_order.h"
#include "tools/shared/civil_time.h"
#include "tools/shared/text.h"

namespace central {

using tools::Civil;
using tools::CivilFromSeconds;
using tools::DaysFromCivil;
using tools::Format;

namespace {

bool WholeIn(double value, double low, double high) {
    return value == std::floor(value) && value >= low && value <= high;
}

// What a value type cannot hold `value` as, or null when it fits.
const char* Misfit(uint8_t type, double value) {
    switch (type) {
        case 3: return nullptr;
        case 4: return WholeIn(value, -2147483648.0, 2147483647.0) ? nullptr : "a signed 32-bit gate";
        case 5: return WholeIn(value, 0, 4294967295.0) ? nullptr : "an unsigned 32-bit gate";
        case 1: return WholeIn(value, -32768, 32767) ? nullptr : "a signed 16-bit gate";
    }
    // The station writes nothing of types 7 and up; the write goes anyway, to see its answer.
    return type >= 7 || WholeIn(value, 0, 65535) ? nullptr : "an unsigned 16-bit gate";
}

void EncodeFitting(uint8_t type, double value, uint8_t bytes[4]) {
    switch (type) {
        case 3: {
            const float single = static_cast<float>(value);
            uint32_t bits;
            std::memcpy(&bits, &single, sizeof bits);
            PutLe32(bytes, bits);
            return;
        }
        case 4: PutLe32(bytes, static_cast<uint32_t>(static_cast<int32_t>(value))); return;
        case 5: PutLe32(bytes, static_cast<uint32_t>(value)); return;
    }
    // 16-bit gates take bytes 6 and 7.
    PutLe16(bytes + 2, static_cast<uint16_t>(static_cast<int32_t>(type >= 7 ? 0 : value)));
}

}  // namespace

bool ParseTime(const std::string& text, int64_t now, int64_t* seconds) {
    if (text == "now") {
        *seconds = now;
        return true;
    }
    uint64_t number = 0;
    if (tools::ParseDecimal(text, 10, 0xFFFFFFFFu, &number)) {
        *seconds = static_cast<int64_t>(number);
        return true;
    }
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    int used = 0;
    std::string rest = text;
    if (!rest.empty() && (rest.back() == 'Z' || rest.back() == 'z')) rest.pop_back();
    for (char& c : rest) {
        if (c == 'T' || c == 't') c = ' ';
    }
    const int fields = std::sscanf(rest.c_str(), "%4u-%2u-%2u%n %2u:%2u%n:%2u%n", &y, &mo, &d, &used, &h, &mi, &used,
                                   &s, &used);
    if (fields < 3 || fields == 4 || static_cast<size_t>(used) != rest.size()) return false;
    static const unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || h > 23 || mi > 59 || s > 59) return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo == 2 && d == 29 && !leap) return false;
    *seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    return true;
}

std::string FormatTime(int64_t seconds) {
    const Civil c = CivilFromSeconds(seconds);
    return Format("%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(c.year), c.month, c.day, c.hour,
                  c.minute, c.second);
}

bool EncodeWriteValue(const std::string& text, std::optional<uint8_t> valueType, uint8_t bytes[4], std::string* error) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value)) {
        *error = "value '" + text + "' is not a number";
        return false;
    }
    const bool looksFloat = text.find_first_of(".eE") != std::string::npos;
    const uint8_t type = valueType ? *valueType : (looksFloat ? 3 : (value < 0 ? 1 : 0));
    std::memset(bytes, 0, 4);
    if (const char* misfit = Misfit(type, value)) {
        *error = "value '" + text + "' does not fit " + misfit;
        return false;
    }
    EncodeFitting(type, value, bytes);
    return true;
}

bool StationIgnoresWrite(std::optional<uint8_t> valueType) { return valueType && *valueType >= 7; }

double LeDouble(const uint8_t* at) {
    const uint64_t bits = Le32(at) | uint64_t{Le32(at + 4)} << 32;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::string FormatValue(double value) {
    if (std::isnan(value)) return "nan";
    return Format("%.10g", value);
}

}  // namespace central
