// Counts the heap allocations of the benchmark program, so a benchmark can
// report allocations per frame next to its time.
#pragma once

#include <cstdint>

namespace VantriBench {

std::uint64_t AllocationCount();

} // namespace VantriBench
