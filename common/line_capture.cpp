#include "common/line_capture.h"

#include <cstring>

#include "link/frame.h"

namespace {

constexpr size_t kLengthEnd = 8;  // STX, magic, tag, length
constexpr size_t kFrameOverhead = kFrameHeaderSize + kFrameFooterSize;

bool LineEnd(uint8_t byte) { return byte == '\r' || byte == '\n'; }

void WritePacket(LineCapture* capture, bool outbound, PendingBytes* pending) {
    if (pending->bytes.empty()) return;
    const uint32_t flags = outbound ? pcapng::kOutbound : pcapng::kInbound;
    pcapng::WriteBlock(&capture->file, pcapng::EnhancedPacket(pcapng::kLineInterface, pending->lastUs,
                                                              pending->bytes.data(), pending->bytes.size(), flags));
    pending->bytes.clear();
    pending->inFrame = false;
    pending->frameSize = 0;
}

// Both directions' pending bytes, the earlier first.
void FlushBoth(LineCapture* capture) {
    const bool outboundFirst = capture->pending[1].lastUs < capture->pending[0].lastUs;
    WritePacket(capture, outboundFirst, &capture->pending[outboundFirst ? 1 : 0]);
    WritePacket(capture, !outboundFirst, &capture->pending[outboundFirst ? 0 : 1]);
}

// A modem line (text ended by CR or LF) is complete once a byte other than
// a line end follows it.
bool EndsModemLine(const PendingBytes& pending, uint8_t next) {
    if (pending.inFrame || pending.bytes.empty() || LineEnd(next) || !LineEnd(pending.bytes.back())) return false;
    for (uint8_t byte : pending.bytes) {
        if (!LineEnd(byte)) return true;
    }
    return false;
}

// One byte into its direction's pending packet; a frame that is whole is
// written at once.
void TakeByte(LineCapture* capture, bool outbound, uint8_t byte) {
    PendingBytes& pending = capture->pending[outbound ? 1 : 0];
    if (!pending.inFrame && (byte == kStx || EndsModemLine(pending, byte))) WritePacket(capture, outbound, &pending);
    if (pending.bytes.empty() && byte == kStx) pending.inFrame = true;
    pending.bytes.push_back(byte);
    if (!pending.inFrame) return;
    if (pending.bytes.size() == kLengthEnd) {
        const size_t body = (size_t{pending.bytes[6]} << 8) | pending.bytes[7];
        // A length no frame has: the header is all there is of this one.
        if (body > kMaxBodyLength) {
            WritePacket(capture, outbound, &pending);
            return;
        }
        pending.frameSize = kFrameOverhead + body;
    }
    if (pending.frameSize != 0 && pending.bytes.size() == pending.frameSize) WritePacket(capture, outbound, &pending);
}

}  // namespace

const char* LineEventText(LineEvent event) {
    switch (event) {
        case LineEvent::kDtrRaised: return "DTR raised";
        case LineEvent::kDtrDropped: return "DTR dropped";
        case LineEvent::kCarrierUp: return "carrier up";
        case LineEvent::kCarrierDown: return "carrier down";
    }
    return "";
}

bool OpenLineCapture(LineCapture* capture, const std::string& path, const std::string& description,
                     uint64_t limitBytes) {
    std::lock_guard lock(capture->mutex);
    capture->file.path = path;
    capture->file.description = description;
    capture->file.limitBytes = limitBytes;
    capture->file.ownerOnly = true;
    return pcapng::Open(&capture->file);
}

void CaptureBytes(LineCapture* capture, bool outbound, const uint8_t* data, size_t size, uint64_t nowUs) {
    if (size == 0) return;
    std::lock_guard lock(capture->mutex);
    if (capture->file.stream == nullptr) return;
    PendingBytes& own = capture->pending[outbound ? 1 : 0];
    PendingBytes& other = capture->pending[outbound ? 0 : 1];
    // A change of direction ends the other side's bytes between frames, and
    // its frame too once that has broken off, so packets stay in time order.
    if (!other.inFrame || nowUs - other.lastUs > kFrameBreakUs) WritePacket(capture, !outbound, &other);
    const uint64_t quiet = nowUs - own.lastUs;
    if (!own.bytes.empty() && quiet > (own.inFrame ? kFrameBreakUs : kPauseUs)) WritePacket(capture, outbound, &own);
    for (size_t i = 0; i < size; ++i) {
        own.lastUs = nowUs;
        TakeByte(capture, outbound, data[i]);
    }
}

void CaptureEvent(LineCapture* capture, LineEvent event, uint64_t nowUs) {
    std::lock_guard lock(capture->mutex);
    if (capture->file.stream == nullptr) return;
    FlushBoth(capture);
    const char* text = LineEventText(event);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text);
    pcapng::WriteBlock(&capture->file,
                       pcapng::EnhancedPacket(pcapng::kEventInterface, nowUs, bytes, std::strlen(text), 0));
}

void CloseLineCapture(LineCapture* capture) {
    std::lock_guard lock(capture->mutex);
    if (capture->file.stream != nullptr) FlushBoth(capture);
    pcapng::Close(&capture->file);
}

int TakeCaptureFailure(LineCapture* capture) {
    std::lock_guard lock(capture->mutex);
    if (capture->file.error == 0 || capture->failureReported) return 0;
    capture->failureReported = true;
    return capture->file.error;
}
