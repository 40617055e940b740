#include "Interrupt.h"

#include <signal.h>

#include <atomic>

namespace interrupt {
namespace {

std::atomic<bool> g_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

void OnSignal(int) { g_requested.store(true); }

}  // namespace

void Install() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Requested() { return g_requested.load(); }

}  // namespace interrupt
