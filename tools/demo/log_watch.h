// The demo's transcript lines, and the watch that stamps the driver's log
// lines with the virtual time they appeared at.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace demo {

// One line of the transcript.
struct Entry {
    int64_t timeMs;
    int order;  // within one millisecond: host and driver first, then the modem
    std::string text;
    uint64_t seq = NextSeq();

    static uint64_t NextSeq() {
        static std::atomic<uint64_t> counter{0};
        return counter++;
    }
};

// Stamps the driver's log lines with the virtual time they appeared at (to
// within the millisecond it looks), taking part in the clock while it runs.
class LogWatch {
public:
    void Start();
    // The caller takes part in the clock: it waits on it for the last look.
    std::vector<Entry> Stop();
    // Also called by the host's side, so that what a call logged comes before
    // the host's note of its result.
    void Collect();

private:
    std::mutex mutex_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    size_t seen_ = 0;
    std::vector<Entry> entries_;
};

}  // namespace demo
