#include "tools/station/transcript.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "sim/central_frame.h"
#include "tools/shared/frame_text.h"
#include "tools/shared/system.h"

namespace station {

namespace {

constexpr uint8_t kStx = sim::kFrameStx;
constexpr size_t kHeaderSize = sim::kFrameHeaderSize;
constexpr size_t kFrameExtra = sim::kFrameHeaderSize + sim::kFrameFooterSize;

std::string WallClock(std::chrono::system_clock::time_point now = std::chrono::system_clock::now()) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::tm local = tools::LocalTime(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis));
    return text;
}

}  // namespace

bool Transcript::OpenFile(const std::string& path) {
    file_.open(path, std::ios::app);
    return static_cast<bool>(file_);
}

int64_t Transcript::NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now() - worldStart_).count();
}

void Transcript::Line(const std::string& who, const std::string& text) { LineAt(NowMs(), who, text); }

void Transcript::LineAt(int64_t worldMs, const std::string& who, const std::string& text) {
    std::string line = WallClock(worldStart_ + std::chrono::milliseconds(worldMs)) + "  " + who;
    if (who.size() < 18) line.append(18 - who.size(), ' ');
    line += "  " + text + "\n";
    std::lock_guard lock(mutex_);
    held_.emplace(worldMs, std::move(line));
    PrintUpTo(NowMs() - kHoldMs);
}

void Transcript::Flush() {
    std::lock_guard lock(mutex_);
    PrintUpTo(NowMs() - kHoldMs);
}

void Transcript::FlushAll() {
    std::lock_guard lock(mutex_);
    PrintUpTo(INT64_MAX);
}

void Transcript::PrintUpTo(int64_t worldMs) {
    std::string lines;
    auto end = held_.begin();
    for (; end != held_.end() && end->first <= worldMs; ++end) lines += end->second;
    held_.erase(held_.begin(), end);
    if (lines.empty()) return;
    out_ << lines << std::flush;
    if (file_.is_open()) file_ << lines << std::flush;
}

void FrameTap::Feed(const uint8_t* data, size_t size, int64_t atMs) {
    pending_.insert(pending_.end(), data, data + size);
    for (;;) {
        size_t start = 0;
        while (start < pending_.size() && pending_[start] != kStx) ++start;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
        if (pending_.size() < kHeaderSize) return;
        const size_t length = sim::FrameBodyLength(pending_.data());
        if (std::string(pending_.begin() + 1, pending_.begin() + 4) != magic_ || length > sim::kMaxFrameBody) {
            pending_.erase(pending_.begin());
            continue;
        }
        if (pending_.size() < length + kFrameExtra) return;
        const sim::Bytes frame(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length + kFrameExtra));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(frame.size()));
        sim::Frame decoded;
        const std::string why = sim::CheckFrame(frame, magic_, &decoded);
        char tag[24];
        std::snprintf(tag, sizeof tag, "%s tag %04X  ", magic_, unsigned{decoded.tag});
        const std::string text = tag + (why.empty() ? tools::DescribeBody(decoded.body, requests_)
                                                    : "bad frame: " + why + " | " + sim::Hex(frame));
        if (atMs < 0) {
            transcript_.Line(who_, text);
        } else {
            transcript_.LineAt(atMs, who_, text);
        }
    }
}

}  // namespace station
