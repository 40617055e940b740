#include "platform/TkSleep.h"

#include <errno.h>
#include <time.h>

#include <atomic>

#if CLDB_TEST_HOOKS
namespace {
std::atomic<TkSleepHook> g_hook{nullptr};
}  // namespace
#endif

void TKSLEEP_InTeRnAl(unsigned int milliseconds, const char* /*file*/, int /*line*/) {
#if CLDB_TEST_HOOKS
  if (TkSleepHook hook = g_hook.load(std::memory_order_acquire)) {
    hook(milliseconds);
    return;
  }
#endif
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

#if CLDB_TEST_HOOKS
TkSleepHook TkSetSleepHook(TkSleepHook hook) {
  return g_hook.exchange(hook, std::memory_order_acq_rel);
}
#endif
