// Helpers shared by the test suites.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/EvDebug.h"

namespace cldbtest {

// Points the configuration, and the private lock folder of MDLock(name)
// (the library's own locks live in the CLDB folders), at private places of
// this test process, and forgets $CLDB_ROOT, so tests never meet a user's
// config, locks or root folder.
void IsolateProcess();

// Sets (for a null value, unsets) an environment variable for its lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Runs `body` in a forked child that ends with _exit(its result), killed
// with SIGKILL when it is not done after `seconds`; returns the wait status.
// Faults that crash or hang a process end the child, not the test.
int RunInChild(const std::function<int()>& body, unsigned int seconds = 30);
// "exited with `code`" for a wait status.
bool ExitedWith(int status, int code);

// The unprivileged user the tests run as where root would not be stopped.
constexpr unsigned int kNobody = 65534;
// In a child: drops root for kNobody; false when that fails.
bool BecomeNobody();
// Hands `path` and everything below it to kNobody.
void GiveToNobody(const std::string& path);

// The library clock as the tests drive it: TestNow() reads and sets it, and
// a TestClock installs it (starting at `start`) for its own lifetime.
std::atomic<uint32_t>& TestNow();
class TestClock {
 public:
  explicit TestClock(uint32_t start);
  ~TestClock();
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;

 private:
  ZelClockHook previous_;
};

// A fresh, empty folder removed (with its content) at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Captures every message of one EvDebug (or, with global=true, of every
// EvDebug in the process) while it lives.
class LogCapture {
 public:
  explicit LogCapture(EvDebug* log);  // nullptr: the process-wide sink
  ~LogCapture();
  std::vector<std::pair<int, std::string>> Lines() const;
  bool Contains(const std::string& fragment) const;
  bool Contains(int level, const std::string& fragment) const;
  size_t Count(const std::string& fragment) const;
  void Clear();

 private:
  EvDebug* log_;
  mutable std::mutex mutex_;
  std::vector<std::pair<int, std::string>> lines_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

}  // namespace cldbtest
