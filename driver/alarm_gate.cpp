// The ALARM_CALL gate.
#include "driver/context.h"
#include "driver/operations.h"

// Not built yet: the gate answers "not available" until alarm calls exist.
int32_t SingleAddressParser(VpiCallBlock*) { return 2; }
int32_t SingleWrite(VpiCallBlock*) { return 2; }
