// The bytes of a serial line cut into capture packets, per direction: a link
// frame whole, whatever pieces it crossed in; the bytes between frames (the
// modem's dialogue, noise) as packets of their own; line events in between,
// all in the order their last byte crossed (docs/capture.md). Times are
// given by the caller, so the rules can be tested on any clock.
//
// One mutex guards it all: the port's reads and writes may come from one
// thread and the close (CloseCom, EndVpi, a signal's end of a tool) from
// another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/pcapng.h"

enum class LineEvent : uint8_t { kDtrRaised, kDtrDropped, kCarrierUp, kCarrierDown };
// "DTR raised", "DTR dropped", "carrier up", "carrier down".
const char* LineEventText(LineEvent event);

// Bytes of one direction not yet written as a packet.
struct PendingBytes {
    std::vector<uint8_t> bytes;
    bool inFrame = false;
    size_t frameSize = 0;  // 0 until the header's length is in
    uint64_t lastUs = 0;   // when the last of them crossed
};

struct LineCapture {
    std::mutex mutex;
    pcapng::File file;
    PendingBytes pending[2];  // [0] inbound, [1] outbound
    bool failureReported = false;
};

// Non-frame bytes end at a pause this long; a frame breaks off at one of
// kFrameBreakUs (the station's wait for the rest of a frame).
constexpr uint64_t kPauseUs = 100000;
constexpr uint64_t kFrameBreakUs = 500000;

// Creates the file (owner-only where the system allows) with its header;
// `limitBytes` 0: no rotation. False when it cannot be created (see
// TakeCaptureFailure).
bool OpenLineCapture(LineCapture* capture, const std::string& path, const std::string& description,
                     uint64_t limitBytes);
// Bytes read from the line (inbound) or written to it.
void CaptureBytes(LineCapture* capture, bool outbound, const uint8_t* data, size_t size, uint64_t nowUs);
// Flushes both directions (a frame cut short as it stands), then the event.
void CaptureEvent(LineCapture* capture, LineEvent event, uint64_t nowUs);
// Flushes everything and closes the file.
void CloseLineCapture(LineCapture* capture);
// The error number of a failure to create or write the file, the first time
// it is asked after the failure; 0 otherwise. Its owner reports it once.
int TakeCaptureFailure(LineCapture* capture);
