#include "Interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

namespace interrupt {
namespace {

const int kSignals[] = {SIGHUP, SIGINT, SIGTERM};

std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");
// The handler's way to the watcher: one byte per signal, never blocking (a
// pipe full of wake-ups needs no more).
int g_pipe[2] = {-1, -1};
std::atomic<bool> g_quit{false};  // the Guard ends; set before its wake-up

std::mutex g_actionMutex;  // held while the action is changed or runs
std::function<void()> g_action;

void Wake() {
  const char byte = 1;
  if (write(g_pipe[1], &byte, 1) < 0) {
    // Full: the watcher has wake-ups to read already.
  }
}

void OnSignal(int sig) {
  const int savedErrno = errno;
  int none = 0;
  g_signal.compare_exchange_strong(none, sig);
  Wake();
  errno = savedErrno;
}

// Once per process: the pipe and the handlers stay until the process ends.
bool InstallHandlers() {
  if (pipe2(g_pipe, O_CLOEXEC) != 0 || fcntl(g_pipe[1], F_SETFL, O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : kSignals) sigaddset(&action.sa_mask, sig);
  action.sa_flags = SA_RESTART;
  for (int sig : kSignals) sigaction(sig, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return true;
}

void Watch() {
  for (;;) {
    char byte = 0;
    const ssize_t n = read(g_pipe[0], &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || g_quit.load()) return;
    std::lock_guard<std::mutex> lock(g_actionMutex);
    if (g_action) g_action();
  }
}

std::thread g_watcher;

}  // namespace

Guard::Guard() {
  static const bool installed = InstallHandlers();
  if (installed) g_watcher = std::thread(Watch);
}

Guard::~Guard() {
  if (!g_watcher.joinable()) return;
  g_quit.store(true);
  Wake();
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
