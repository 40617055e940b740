#include "AllocCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define CLDB_BENCH_COUNT_ALLOCS 1
#else
#define CLDB_BENCH_COUNT_ALLOCS 0
#endif

namespace {

// Constant-initialised: malloc may run before any constructor of ours.
std::atomic<uint64_t> gNews{0};
std::atomic<uint64_t> gMallocs{0};

}  // namespace

namespace bench {

bool AllocCountingEnabled() { return CLDB_BENCH_COUNT_ALLOCS != 0; }

AllocCounts CurrentAllocCounts() {
  AllocCounts counts;
  counts.news = gNews.load(std::memory_order_relaxed);
  counts.mallocs = gMallocs.load(std::memory_order_relaxed);
  return counts;
}

}  // namespace bench

#if CLDB_BENCH_COUNT_ALLOCS

// glibc's own entry points; free() stays glibc's and releases what they give.
extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* block, size_t size);

extern "C" void* malloc(size_t size) {
  gMallocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

extern "C" void* calloc(size_t count, size_t size) {
  gMallocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}

extern "C" void* realloc(void* block, size_t size) {
  gMallocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}

// libstdc++ routes the array and nothrow forms through these two.
void* operator new(size_t size) {
  gNews.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}

void* operator new(size_t size, std::align_val_t align) {
  gNews.fetch_add(1, std::memory_order_relaxed);
  const size_t alignment = static_cast<size_t>(align);
  const size_t rounded = (size + alignment - 1) / alignment * alignment;
  if (void* block = std::aligned_alloc(alignment, rounded != 0 ? rounded : alignment)) return block;
  throw std::bad_alloc();
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, size_t, std::align_val_t) noexcept { std::free(block); }

#endif
