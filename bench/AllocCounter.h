// Counts the heap allocations of the benchmark process, so that a benchmark
// can report allocations per operation next to its speed.
//
// The bench binary replaces the global operator new (every C++ allocation,
// ours and the library's) and interposes malloc, calloc and realloc (every
// allocation at all, LMDB's and SQLite's included; operator new lands there
// too). Under a sanitizer, which brings its own allocator, nothing is
// replaced and counting is off.
#pragma once

#include <cstdint>

namespace bench {

struct AllocCounts {
  uint64_t news = 0;     // operator new calls
  uint64_t mallocs = 0;  // malloc, calloc and realloc calls
};

bool AllocCountingEnabled();
AllocCounts CurrentAllocCounts();

}  // namespace bench
