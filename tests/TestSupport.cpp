#include "TestSupport.h"

#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/LogCapture.h"

namespace cldbtest {

void IsolateProcess() {
  static std::string lockDir;
  char tmpl[] = "/tmp/cldbtest-locks-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  lockDir = tmpl;
  setenv("CLDB_LOCK_DIR", (lockDir + "/locks").c_str(), 1);
  setenv("CLDB_CONFIG", "/dev/null", 1);  // no configuration, and no warning of it
  unsetenv("CLDB_ROOT");                  // no root folder but the ones a test names
  atexit([] { std::filesystem::remove_all(lockDir); });
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = getenv(name)) old_ = old;
  value ? setenv(name, value, 1) : unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str());
}

int RunInChild(const std::function<int()>& body, unsigned int seconds) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) _exit(body());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(1000);
  }
  return status;
}

bool ExitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

bool BecomeNobody() {
  return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

void GiveToNobody(const std::string& path) {
  if (lchown(path.c_str(), kNobody, kNobody) != 0) throw std::runtime_error("lchown " + path);
  std::error_code ec;
  if (!std::filesystem::is_directory(std::filesystem::symlink_status(path))) return;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ec))
    if (lchown(entry.path().c_str(), kNobody, kNobody) != 0)
      throw std::runtime_error("lchown " + entry.path().string());
}

std::atomic<uint32_t>& TestNow() {
  static std::atomic<uint32_t> now{0};
  return now;
}

TestClock::TestClock(uint32_t start) {
  TestNow() = start;
  previous_ = ZelSetClockHook([] { return TestNow().load(); });
}

TestClock::~TestClock() { ZelSetClockHook(previous_); }

TempDir::TempDir() {
  char tmpl[] = "/tmp/cldbtest-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

LogCapture::LogCapture(EvDebug* log) : log_(log) {
  auto sink = [this](int level, const std::string& message) {
    std::lock_guard<std::mutex> g(mutex_);
    lines_.emplace_back(level, message);
  };
  if (log_)
    cldb::hooks::SetLogSink(*log_, sink);
  else
    cldb::hooks::SetGlobalLogSink(sink);
}

LogCapture::~LogCapture() {
  if (log_)
    cldb::hooks::SetLogSink(*log_, nullptr);
  else
    cldb::hooks::SetGlobalLogSink(nullptr);
}

std::vector<std::pair<int, std::string>> LogCapture::Lines() const {
  std::lock_guard<std::mutex> g(mutex_);
  return lines_;
}

bool LogCapture::Contains(const std::string& fragment) const { return Count(fragment) > 0; }

bool LogCapture::Contains(int level, const std::string& fragment) const {
  std::lock_guard<std::mutex> g(mutex_);
  for (auto& l : lines_)
    if (l.first == level && l.second.find(fragment) != std::string::npos) return true;
  return false;
}

size_t LogCapture::Count(const std::string& fragment) const {
  std::lock_guard<std::mutex> g(mutex_);
  size_t n = 0;
  for (auto& l : lines_)
    if (l.second.find(fragment) != std::string::npos) ++n;
  return n;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> g(mutex_);
  lines_.clear();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace cldbtest
