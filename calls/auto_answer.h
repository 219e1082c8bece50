// Call control: the thread that owns the modem, answers the central
// station's calls, places the alarm calls and raises the alert for an alarm
// call that failed. With MODEM_CHECK_MIN it checks the modem while it waits,
// with PORT_REOPEN_SEC it opens a lost port again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/context.h"

constexpr uint32_t kAutoAnswerStackSize = 8192;
constexpr uint32_t kAnswerPollMs = 100;
constexpr size_t kAlertTextSize = 80;

// The thread body; returns when stopFlag has ended it.
void AutoAnswerThread(StationContext* ctx);
// Logs the text and, for alert classes 2 to 5, raises it as a host alert.
void RaiseAlert(StationContext* ctx, const char* text);

// The host closed the port (CloseCom): should the thread have lost it, it
// does not open it again.
void KeepPortClosed(StationContext* ctx);

// Dial attempts an alarm call gets: the configured count held in 8 bits, with
// 0 meaning one attempt and counts above 255 held at 255, so the count never
// wraps.
uint8_t DialAttempts(const StationContext* ctx);
