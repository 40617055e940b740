#include "platform/ZelAssert.h"

#include <atomic>

#include "platform/EvDebug.h"

namespace {
std::atomic<unsigned long> g_count{0};

// Never destroyed: assertions may be raised while static objects go away.
EvDebug& AssertLog() {
  static EvDebug* log = new EvDebug();
  return *log;
}

const char* OrNull(const char* s) { return s ? s : "(null)"; }
}  // namespace

void zelassert(const char* expression, const char* source, const char* function, int line) {
  g_count.fetch_add(1, std::memory_order_relaxed);
  AssertLog().debugLvl(-1, "[ZELASSERT] %s %s %s line %d", OrNull(expression), OrNull(source),
                       OrNull(function), line);
}

unsigned long zelassertCount() { return g_count.load(std::memory_order_relaxed); }
