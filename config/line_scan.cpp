#include "config/line_scan.h"

namespace {

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

size_t CountValues(const char* pattern) {
    size_t count = 0;
    for (const char* p = pattern; *p != '\0'; ++p) {
        if (p[0] == '%' && (p[1] == 'u' || p[1] == 's')) ++count;
    }
    return count;
}

}  // namespace

bool ScanLine(const char* line, const char* pattern, ScanValues* values) {
    const size_t wanted = CountValues(pattern);
    size_t numbers = 0;
    size_t yielded = 0;
    bool textTaken = false;
    const char* in = line;
    for (const char* p = pattern; *p != '\0'; ++p) {
        if (*p == ' ') {
            while (IsWhite(*in)) ++in;
        } else if (p[0] == '%' && p[1] == 'u') {
            ++p;
            while (IsWhite(*in)) ++in;
            if (!IsDigit(*in) || numbers == kScanNumberSlots) break;
            uint32_t value = 0;
            for (; IsDigit(*in); ++in) value = value * 10u + static_cast<uint32_t>(*in - '0');
            values->numbers[numbers++] = value;
            ++yielded;
        } else if (p[0] == '%' && p[1] == 's') {
            ++p;
            while (IsWhite(*in)) ++in;
            if (*in == '\0' || textTaken) break;
            size_t length = 0;
            while (*in != '\0' && !IsWhite(*in)) {
                if (length + 1 == kScanTextSize) return false;
                values->text[length++] = *in++;
            }
            values->text[length] = '\0';
            textTaken = true;
            ++yielded;
        } else if (*in == *p) {
            ++in;
        } else {
            break;
        }
    }
    return yielded == wanted;
}
