/* The state the modem-line shim (modem_lines_shim.c, preloaded into the
 * process that opens the pty as its serial port) shares with the test's line
 * peer through a small file that both map. C, so that the shim (32-bit in a
 * Wine process) and the C++ peer read one definition; every field is a
 * 32-bit word read and written with atomic operations. */
#ifndef TELDRV_MODEM_LINES_H
#define TELDRV_MODEM_LINES_H

#include <stdint.h>

struct TeldrvModemLines {
    uint32_t status;        /* TIOCM_CAR, TIOCM_DSR, TIOCM_CTS, TIOCM_RNG as the peer sets them */
    uint32_t output;        /* TIOCM_DTR, TIOCM_RTS as the port last set them */
    uint32_t dtrChanges;    /* DTR changes so far, each way */
};

#endif
