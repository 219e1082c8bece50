// Heap memory the driver keeps beyond one call: the configuration tables, the
// change buffer, the on-line gate id batches and the history buffer.
#pragma once

#include <cstddef>

// Every such block comes from here and is released with std::free. Tests and
// benchmarks point it at an allocator that fails on demand or counts, since a
// real allocation of these sizes does not fail.
using DriverAllocFunction = void* (*)(size_t size);
extern DriverAllocFunction driverAlloc;
