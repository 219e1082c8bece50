// LINK_CAPTURE: the station's own capture of its line, from ColdStart to
// EndVpi, into a pcapng file by bare name in the working directory, turned
// over to NAME.1 at LINK_CAPTURE_KB. A file that cannot be made or written
// is logged once and costs the call nothing.
#pragma once

#include "common/line_capture.h"
#include "platform/serial.h"

struct StationContext;

struct LinkCaptureRun {
    LineCapture capture;
    platform::SerialTap tap;
};

// ColdStart, with LINK_CAPTURE given: the capture is made and its tap set
// for OpenStationPort to put on the port. Does nothing without the keyword.
void StartLinkCapture(StationContext* ctx);
// Everything flushed and the file closed; the block's memory is then plain
// and goes back with the opt-in settings' other blocks.
void EndLinkCapture(LinkCaptureRun* run);
