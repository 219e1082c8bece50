// The Hayes modem dialogue on the station's port: two primitives (send one
// command line, check the modem's reply) and the sequences built on them.
// The primitives log nothing; the sequences log each failed step through
// the host's err and go on with the next.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/context.h"
#include "platform/serial.h"

// Results of the dialogue: a type of their own, like the port layer's.
enum class ModemResult : uint8_t {
    kModemOk = 0,
    kModemFailed = 1,
};

// Room for the reply to the longest command a context field holds (63
// characters, CR, CR LF "OK" CR LF) and its terminating NUL.
constexpr size_t kModemReplyBufferSize = 72;
// Room for the longest dial prefix (31) and a phone number, and the NUL.
constexpr size_t kDialCommandBufferSize = 96;

// Sends one command line: "+++" as the escape with its DTR pulse and guard
// time, anything else after draining the input, with one CR appended unless
// the text ends with CR. Leaves the read time-out at 1.5 s.
ModemResult SendModemCmd(platform::PortHandle port, const char* command);
// Reads the echo of `command` and CR LF "OK" CR LF; kModemOk when the reply
// holds "OK". A command whose reply would not fit the buffer is not OK.
ModemResult WaitModemOk(platform::PortHandle port, const char* command);

void ResetModem(StationContext* ctx);
void AutoAnswerOn(StationContext* ctx);
void AutoAnswerOff(StationContext* ctx);
// Dials the number (dialPrefix and number) and waits up to dialTimeout
// seconds for the carrier: kModemOk when it came. `reference` is the dial
// reference the number belongs to, named in the message when the dial
// command would not fit its buffer; such a command is refused, not cut.
ModemResult DialModem(StationContext* ctx, const char* number, uint8_t reference);
