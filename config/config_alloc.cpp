#include "config/config_alloc.h"

#include <cstdlib>

namespace {
void* DefaultAlloc(size_t size) { return std::malloc(size); }
}  // namespace

ConfigAllocFunction configAlloc = DefaultAlloc;
