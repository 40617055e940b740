#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "platform/ZelCriticalSection.h"

// This test program's allocator: plain malloc, except that the next
// allocation of the calling thread can be made to fail.
namespace {
thread_local bool g_failNextNew = false;
}  // namespace

void* operator new(std::size_t size) {
  if (g_failNextNew) {
    g_failNextNew = false;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(ZelCriticalSection, ConstructorThrowsTextWhenOutOfMemory) {
  const char* thrown = nullptr;
  try {
    g_failNextNew = true;
    ZelCriticalSection cs;
  } catch (const char* text) {
    thrown = text;
  }
  g_failNextNew = false;
  ASSERT_NE(thrown, nullptr);
  EXPECT_STREQ(thrown, "Not enough memory to initialize ZelCriticalSection");
}

// Entering twice on one thread must not deadlock; another thread gets in only
// after the matching second leave.
TEST(ZelCriticalSection, ReentersAndOtherThreadWaitsUntilFullyLeft) {
  ZelCriticalSection cs;
  std::atomic<bool> entered{false};
  cs.enter(true);
  cs.enter(true);
  std::thread other([&] {
    ZelCriticalSectionGuard guard(cs);
    entered = true;
  });
  cs.leave();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered.load());
  cs.leave();
  other.join();
  EXPECT_TRUE(entered.load());
}

TEST(ZelCriticalSection, NestedEntriesKeepThreadsApart) {
  ZelCriticalSection cs;
  long counter = 0;  // deliberately not atomic: the section guards it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        ZelCriticalSectionGuard outer(cs);
        ZelCriticalSectionGuard inner(cs);
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 4 * 2000);
}

}  // namespace
