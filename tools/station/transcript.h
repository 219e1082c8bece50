// The live transcript of a running station: one line per event with the
// wall-clock time, to the screen and optionally to a file, and the decoding
// of the frames that pass on the line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace station {

// Lines come from several threads, and some (a modem's events) only a
// little after the moment they are stamped with; so each line is held for
// kHoldMs and the held lines are printed in the order of their stamps.
class Transcript {
public:
    static constexpr int64_t kHoldMs = 300;

    explicit Transcript(std::ostream& out) : out_(out) {}
    ~Transcript() { FlushAll(); }
    bool OpenFile(const std::string& path);
    // "HH:MM:SS.mmm  who  text", stamped now; `who` is padded to one width.
    void Line(const std::string& who, const std::string& text);
    // A line for an event of the simulated world, stamped with its own time:
    // `worldMs` on the world's real clock, which started at `SetWorldStart`.
    void SetWorldStart() { worldStart_ = std::chrono::system_clock::now(); }
    void LineAt(int64_t worldMs, const std::string& who, const std::string& text);
    // Prints the lines held longer than kHoldMs; FlushAll every line held.
    void Flush();
    void FlushAll();

private:
    int64_t NowMs() const;
    void PrintUpTo(int64_t worldMs);  // with mutex_ held

    std::mutex mutex_;
    std::ostream& out_;
    std::ofstream file_;
    std::chrono::system_clock::time_point worldStart_ = std::chrono::system_clock::now();
    std::multimap<int64_t, std::string> held_;  // by stamp; equal stamps in arrival order
};

// Finds the frames of one direction in the bytes of a line (modem dialogue
// and noise between them are skipped) and shows each, decoded.
class FrameTap {
public:
    FrameTap(Transcript& transcript, const char* magic, const char* who, bool requests)
        : transcript_(transcript), magic_(magic), who_(who), requests_(requests) {}
    // `atMs`: when the bytes passed, on the world's clock; -1: now.
    void Feed(const uint8_t* data, size_t size, int64_t atMs = -1);

private:
    Transcript& transcript_;
    const char* magic_;
    const char* who_;
    bool requests_;
    std::vector<uint8_t> pending_;
};

}  // namespace station
