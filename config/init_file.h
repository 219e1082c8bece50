// The init file: the station's own settings as keyword lines.
#pragma once

#include "host/records.h"

// Reads "TELDRV%02u.INT", "TELDRV%01u.INT" or "TELDRV.INT" (the first that
// opens, named after the block's driver number) into the block's context,
// which holds its defaults. A STATION line loads the station gate file. All
// that goes wrong is logged; nothing stops the reading.
void ReadInitFile(VpiCallBlock* call);

// The keyword patterns the reader tries, in its order, by index; nullptr past
// the last. Tools that check a file match its lines against the same texts.
const char* InitFilePattern(unsigned index);
