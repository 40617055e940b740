#include "platform/EvDebug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/LogCapture.h"
#include "platform/ZelPlatformInfo.h"

namespace {

constexpr int kNoThreshold = EvDebug::kConfiguredThreshold;
constexpr int kBuiltinThreshold = 1;

using SinkPtr = std::shared_ptr<const cldb::hooks::LogSink>;

// Process-wide state. `writeMutex` serialises every line written by any
// EvDebug and guards the default destination; `sinkMutex` guards the sink,
// whose presence `hasSink` tells without taking the mutex.
struct Global {
  std::mutex writeMutex;
  bool defaultResolved = false;
  int defaultFd = -1;  // -1: no log file
  std::atomic<EvDebug::StderrUse> stderrUse{EvDebug::StderrUse::kFallback};
  std::mutex sinkMutex;
  SinkPtr globalSink;
  std::atomic<bool> hasSink{false};
  std::atomic<int> defaultThreshold{kNoThreshold};
  std::atomic<unsigned long> loggedConfigLoad{0};  // see LogConfigurationWarnings
};

// The sink in `slot`, or null; the flag spares the mutex when there is none,
// which is the case of every line outside tests.
SinkPtr LoadSink(const std::atomic<bool>& present, std::mutex& mutex, const SinkPtr& slot) {
  if (!present.load(std::memory_order_acquire)) return nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  return slot;
}

[[maybe_unused]] void StoreSink(cldb::hooks::LogSink sink, std::atomic<bool>& present,
                                std::mutex& mutex, SinkPtr& slot) {
  SinkPtr p = sink ? std::make_shared<const cldb::hooks::LogSink>(std::move(sink)) : nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  present.store(p != nullptr, std::memory_order_release);
  slot = std::move(p);
}

// Never destroyed, so objects logging during static destruction still work.
Global& G() {
  static Global* g = new Global;
  return *g;
}

// O_NONBLOCK keeps a FIFO planted under the name from hanging the open; it
// is refused below like every other file that is not a plain one.
int OpenLogFile(const std::string& path) {
  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
  const int fd = open(path.c_str(), flags, ZelPlatformInfo::NewFileMode());
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      fcntl(fd, F_SETFL, O_APPEND) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A level beyond int lets every line through; it must not wrap to a negative one.
int ConfiguredThreshold() {
  unsigned long value = 0;
  if (!ZelPlatformInfo::getNumber("EvDebug", "DebugLevel", &value)) return kBuiltinThreshold;
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// Logs the warnings of each load of the configuration once, through the
// first object made after the load; `log` must still write to the default
// destination.
void LogConfigurationWarnings(EvDebug& log) {
  unsigned long load = 0;
  std::vector<std::string> warnings = ZelPlatformInfo::Warnings(&load);
  std::atomic<unsigned long>& logged = G().loggedConfigLoad;
  unsigned long seen = logged.load();
  do {
    if (seen >= load) return;
  } while (!logged.compare_exchange_weak(seen, load));
  for (const std::string& warning : warnings) log.debugLvl(0, "configuration: %s", warning.c_str());
}

// Writes all of `line`; caller holds writeMutex.
void WriteAll(int fd, const std::string& line) {
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a log line that cannot be written is dropped
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// Writes `line` to the default destination; caller holds writeMutex.
void WriteToDefault(Global& g, const std::string& line) {
  if (!g.defaultResolved) {
    g.defaultResolved = true;
    std::string file;
    if (ZelPlatformInfo::getString("EvDebug", "LogFile", file) && !file.empty())
      g.defaultFd = OpenLogFile(file);
  }
  const EvDebug::StderrUse use = g.stderrUse.load();
  if (g.defaultFd >= 0) WriteAll(g.defaultFd, line);
  if (g.defaultFd >= 0 ? use == EvDebug::StderrUse::kAlso : use != EvDebug::StderrUse::kNever)
    WriteAll(STDERR_FILENO, line);
}

std::string Format(const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string("(unformattable message: ") + format + ")";
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&out[0], out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

// "2026-12-06 07:00:22.123 pid=4242 tid=4243 [job=77] lvl=1 "
std::string LinePrefix(int level, const unsigned long long* jobId) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm local;
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char prefix[160];
  long tid = syscall(SYS_gettid);
  if (jobId)
    snprintf(prefix, sizeof prefix, "%s.%03ld pid=%d tid=%ld [job=%llu] lvl=%d ", stamp,
             now.tv_nsec / 1000000, static_cast<int>(getpid()), tid, *jobId, level);
  else
    snprintf(prefix, sizeof prefix, "%s.%03ld pid=%d tid=%ld lvl=%d ", stamp, now.tv_nsec / 1000000,
             static_cast<int>(getpid()), tid, level);
  return prefix;
}

}  // namespace

struct EvDebug::Impl {
  int fd = -1;  // own log file; -1 = the default destination
  std::atomic<int> threshold{kNoThreshold};
  int configuredThreshold = kBuiltinThreshold;
  std::mutex sinkMutex;
  SinkPtr sink;
  std::atomic<bool> hasSink{false};

  int Threshold() const {
    int own = threshold.load(std::memory_order_relaxed);
    if (own != kNoThreshold) return own;
    int process = G().defaultThreshold.load(std::memory_order_relaxed);
    return process != kNoThreshold ? process : configuredThreshold;
  }
};

EvDebug::EvDebug() : impl_(new Impl) {
  impl_->configuredThreshold = ConfiguredThreshold();
  LogConfigurationWarnings(*this);
}

EvDebug::EvDebug(const std::string& logFile) : EvDebug() { impl_->fd = OpenLogFile(logFile); }

EvDebug::~EvDebug() {
  if (impl_->fd >= 0) close(impl_->fd);
}

void EvDebug::debugLvl(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vdebugLvl(level, nullptr, nullptr, format, args);
  va_end(args);
}

void EvDebug::debugLvl(int level, unsigned long long jobId, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vdebugLvl(level, &jobId, nullptr, format, args);
  va_end(args);
}

void EvDebug::DebugLvl(const char* function, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vdebugLvl(level, nullptr, function ? function : "(null)", format, args);
  va_end(args);
}

void EvDebug::vdebugLvl(int level, const unsigned long long* jobId, const char* function,
                        const char* format, va_list args) {
  Global& g = G();
  SinkPtr own = LoadSink(impl_->hasSink, impl_->sinkMutex, impl_->sink);
  SinkPtr process = LoadSink(g.hasSink, g.sinkMutex, g.globalSink);
  bool write = level <= impl_->Threshold();
  if (!write && !own && !process) return;  // the common, cheap case

  std::string message = Format(format ? format : "(null)", args);
  if (function) message = std::string(function) + ": " + message;
  // Sinks run outside every lock, so they may log themselves.
  if (own) (*own)(level, message);
  if (process) (*process)(level, message);
  if (!write) return;

  std::string line = LinePrefix(level, jobId);
  line += message;
  line += '\n';
  std::lock_guard<std::mutex> lock(g.writeMutex);
  if (impl_->fd >= 0)
    WriteAll(impl_->fd, line);
  else
    WriteToDefault(g, line);
}

#if CLDB_TEST_HOOKS
struct LogCaptureAccess {
  static EvDebug::Impl& Of(EvDebug& log) { return *log.impl_; }
};

namespace cldb {
namespace hooks {

void SetLogSink(EvDebug& log, LogSink sink) {
  auto& impl = LogCaptureAccess::Of(log);
  StoreSink(std::move(sink), impl.hasSink, impl.sinkMutex, impl.sink);
}

void SetGlobalLogSink(LogSink sink) {
  Global& g = G();
  StoreSink(std::move(sink), g.hasSink, g.sinkMutex, g.globalSink);
}

}  // namespace hooks
}  // namespace cldb
#endif

void EvDebug::SetThreshold(int level) { impl_->threshold.store(level); }

void EvDebug::SetDefaultThreshold(int level) { G().defaultThreshold.store(level); }

void EvDebug::SetDefaultStderrUse(StderrUse use) { G().stderrUse.store(use); }

bool EvDebug::SetDefaultLogFile(const std::string& path) {
  Global& g = G();
  std::lock_guard<std::mutex> lock(g.writeMutex);
  if (g.defaultFd >= 0) close(g.defaultFd);
  g.defaultFd = path.empty() ? -1 : OpenLogFile(path);
  g.defaultResolved = true;
  return path.empty() || g.defaultFd >= 0;
}
