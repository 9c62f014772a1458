// Memory for large scratch buffers. Each page of fresh memory costs a fault when first touched:
// on a virtual machine a trip through the hypervisor, about 2 µs, so that the package's buffers
// of a few megabytes cost milliseconds a call in faults alone. Where the system maps memory in
// large pages on request (Linux's transparent huge pages), large buffers ask for them: one fault
// per 2 MB instead of one per 4 KB. Elsewhere they are plain allocations.
#pragma once

#include <cstddef>

namespace cellprox {

// Buffers of at least this many bytes take allocate_large.
constexpr size_t LARGE_BUFFER = size_t(1) << 20;

// `bytes` of memory (rounded up to the large page where it is asked for), or null when memory
// runs out. Released with std::free, as malloc's.
void* allocate_large(size_t bytes);

}  // namespace cellprox
