#include "platform/Clock.h"

#include <atomic>
#include <ctime>

#if CLDB_TEST_HOOKS
namespace {
std::atomic<ZelClockHook> g_clockHook{nullptr};
}

uint32_t ZelNow32() {
  ZelClockHook hook = g_clockHook.load(std::memory_order_acquire);
  return hook ? hook() : static_cast<uint32_t>(time(nullptr));
}

ZelClockHook ZelSetClockHook(ZelClockHook hook) {
  return g_clockHook.exchange(hook, std::memory_order_acq_rel);
}
#else
uint32_t ZelNow32() { return static_cast<uint32_t>(time(nullptr)); }
#endif
