#include "Interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace interrupt {
namespace {

std::atomic<int> g_signal{0};
std::atomic<bool> g_quit{false};  // the Guard ends; set before its wake-up
std::mutex g_actionMutex;         // held while the action is changed or runs
std::function<void()> g_action;
std::thread g_watcher;

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGHUP, SIGINT, SIGTERM}) sigaddset(&set, sig);
  return set;
}

// The one thread that takes the signals: every other thread has them
// blocked, so none is ever interrupted by one, and the action runs outside
// any signal handler.
void Watch(sigset_t set) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0 || g_quit.load()) return;
    int none = 0;
    g_signal.compare_exchange_strong(none, sig);
    std::lock_guard<std::mutex> lock(g_actionMutex);
    if (g_action) g_action();
  }
}

}  // namespace

Guard::Guard() {
  const sigset_t set = StopSignals();
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  signal(SIGPIPE, SIG_IGN);
  g_watcher = std::thread(Watch, set);
}

Guard::~Guard() {
  if (!g_watcher.joinable()) return;
  g_quit.store(true);
  pthread_kill(g_watcher.native_handle(), SIGTERM);
  g_watcher.join();
  g_quit.store(false);
}

bool Requested() { return g_signal.load() != 0; }

int Signal() { return g_signal.load(); }

int ExitCode() { return 128 + Signal(); }

std::string Describe() {
  const char* name = sigabbrev_np(Signal());
  return std::string("interrupted by ") + (name ? std::string("SIG") + name : "a signal");
}

void SetStopAction(std::function<void()> action) {
  std::lock_guard<std::mutex> lock(g_actionMutex);
  g_action = std::move(action);
}

}  // namespace interrupt
