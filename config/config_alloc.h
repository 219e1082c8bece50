// Heap memory of the configuration readers.
#pragma once

#include <cstddef>

// Everything the readers hand to the context comes from here and is released
// with std::free. Tests point it at an allocator that fails on demand, since a
// real allocation of these sizes does not.
using ConfigAllocFunction = void* (*)(size_t size);
extern ConfigAllocFunction configAlloc;
