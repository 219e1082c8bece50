#include "tools/shared/frame_text.h"

#include "common/byte_order.h"
#include "tools/shared/text.h"

namespace tools {

using sim::Bytes;
using sim::Hex;

std::string RequestName(uint8_t code) {
    switch (code) {
        case 'C': return "FE_REQ_SYNC_CLOCK";
        case 'H': return "FE_REQ_START_HISTORY";
        case 'M': return "FE_REQ_CONT_ONLINE";
        case 'O': return "FE_REQ_START_ONLINE";
        case 'S': return "FE_REQ_STATION";
        case 'T': return "FE_REQ_CONT_HISTORY";
        case 'X': return "FE_REQ_HANG_UP";
    }
    return Format("request %02Xh", code);
}

namespace {

std::string DescribeRequest(const Bytes& body) {
    const uint8_t code = body[0];
    const size_t n = body.size();
    std::string name = RequestName(code);
    if (code == 'C' && n == 17) {
        name += Format(" %04u-%02u-%02u %02u:%02u:%02u.%03u UTC", Le16(&body[1]), Le16(&body[3]), Le16(&body[7]),
                       Le16(&body[9]), Le16(&body[11]), Le16(&body[13]), Le16(&body[15]));
    } else if ((code == 'M' || code == 'T') && n >= 2) {
        name += Format(" seq %u", body[1]);
        if (code == 'M' && n == 8) name += Format(" write gate %u value bytes %s", Le16(&body[2]), Hex(&body[4], 4).c_str());
    } else if (code == 'H' && n == 5) {
        name += Format(" since %u", Le32(&body[1]));
    }
    return name;
}

std::string DescribeResponse(const Bytes& body) {
    const uint8_t code = body[0];
    const size_t n = body.size();
    switch (code) {
        case '@': return "rejected";
        case 's': return n == 4 ? Format("station %u", body[1]) : "station (bad length)";
        case 'c': return "clock taken";
        case 'x': return "hang-up taken";
        case 'o': return n == 2 ? Format("on-line start, status %u", body[1]) : "on-line start (bad length)";
        case 'h': return n == 2 ? Format("history open, status %u", body[1]) : "history open (bad length)";
        case 'm':
            if (n >= 2 && (n - 2) % 16 == 0) return Format("%zu changes", (n - 2) / 16);
            if (n >= 3 && (n - 3) % 16 == 0) return Format("write status %u, %zu changes", body[2], (n - 3) / 16);
            return "on-line answer (bad length)";
        case 't':
            if (n >= 2 && (n - 2) % 18 == 0) return Format("history status %u, %zu records", body[1], (n - 2) / 18);
            return "history answer (bad length)";
    }
    return Format("response %02Xh", code);
}

}  // namespace

std::string DescribeBody(const Bytes& body, bool request) {
    if (body.empty()) return "empty body";
    return request ? DescribeRequest(body) : DescribeResponse(body);
}

}  // namespace tools
