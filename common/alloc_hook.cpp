#include "common/alloc_hook.h"

#include <cstdlib>

namespace {
void* DefaultAlloc(size_t size) { return std::malloc(size); }
}  // namespace

DriverAllocFunction driverAlloc = DefaultAlloc;
