#include "platform/FileIo.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace cldb {
namespace io {
namespace {

#if CLDB_TEST_HOOKS
struct Plan {
  std::atomic<unsigned> ops{0};
  std::atomic<uint64_t> failAt{0};
  std::atomic<int> error{EIO};
  std::atomic<bool> sticky{false};
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> injected{0};
};

Plan& ThePlan();

// Writes the calls counted to the file CLDB_IO_FAULT_COUNT names, so that a
// test can number a process's calls before it makes them fail one by one.
void WriteCountAtExit() {
  if (FILE* out = fopen(getenv("CLDB_IO_FAULT_COUNT"), "w")) {
    fprintf(out, "%llu\n", static_cast<unsigned long long>(ThePlan().calls.load()));
    fclose(out);
  }
}

Plan& ThePlan() {
  static Plan* plan = [] {
    Plan* p = new Plan;  // never destroyed: calls may come during exit
    if (const char* text = getenv("CLDB_IO_FAULT")) {
      unsigned long long failAt = 0;
      unsigned ops = kAllOps;
      int error = EIO;
      int sticky = 0;
      if (sscanf(text, "%llu:%u:%d:%d", &failAt, &ops, &error, &sticky) >= 1) {
        p->ops = ops;
        p->error = error;
        p->sticky = sticky != 0;
        p->failAt = failAt;
      }
      if (getenv("CLDB_IO_FAULT_COUNT")) atexit(WriteCountAtExit);
    }
    return p;
  }();
  return *plan;
}

// True when this call is to fail; errno is then set.
bool Inject(Op op) {
  Plan& plan = ThePlan();
  const uint64_t failAt = plan.failAt.load(std::memory_order_acquire);
  if (failAt == 0 || (plan.ops.load(std::memory_order_relaxed) & op) == 0) return false;
  const uint64_t call = plan.calls.fetch_add(1, std::memory_order_relaxed) + 1;
  if (call < failAt || (call > failAt && !plan.sticky.load(std::memory_order_relaxed)))
    return false;
  plan.injected.fetch_add(1, std::memory_order_relaxed);
  errno = plan.error.load(std::memory_order_relaxed);
  return true;
}
#else
constexpr bool Inject(Op) { return false; }
#endif

}  // namespace

int Open(const char* path, int flags, mode_t mode) {
  return Inject(kOpen) ? -1 : ::open(path, flags | O_CLOEXEC, mode);
}

int OpenAt(int dirFd, const char* name, int flags, mode_t mode) {
  return Inject(kOpen) ? -1 : ::openat(dirFd, name, flags | O_CLOEXEC, mode);
}

ssize_t Read(int fd, void* buffer, size_t length) {
  return Inject(kRead) ? -1 : ::read(fd, buffer, length);
}

ssize_t PRead(int fd, void* buffer, size_t length, off_t offset) {
  return Inject(kRead) ? -1 : ::pread(fd, buffer, length, offset);
}

ssize_t Write(int fd, const void* buffer, size_t length) {
  return Inject(kWrite) ? -1 : ::write(fd, buffer, length);
}

ssize_t PWrite(int fd, const void* buffer, size_t length, off_t offset) {
  return Inject(kWrite) ? -1 : ::pwrite(fd, buffer, length, offset);
}

int Ftruncate(int fd, off_t length) { return Inject(kWrite) ? -1 : ::ftruncate(fd, length); }

int Fsync(int fd) { return Inject(kSync) ? -1 : ::fsync(fd); }

int Fdatasync(int fd) { return Inject(kSync) ? -1 : ::fdatasync(fd); }

int Rename(const char* from, const char* to) { return Inject(kRename) ? -1 : ::rename(from, to); }

int RenameAt(int fromDirFd, const char* from, int toDirFd, const char* to) {
  return Inject(kRename) ? -1 : ::renameat(fromDirFd, from, toDirFd, to);
}

int Unlink(const char* path) { return Inject(kUnlink) ? -1 : ::unlink(path); }

int UnlinkAt(int dirFd, const char* name, int flags) {
  return Inject(kUnlink) ? -1 : ::unlinkat(dirFd, name, flags);
}

int Mkdir(const char* path, mode_t mode) { return Inject(kMkdir) ? -1 : ::mkdir(path, mode); }

int MkdirAt(int dirFd, const char* name, mode_t mode) {
  return Inject(kMkdir) ? -1 : ::mkdirat(dirFd, name, mode);
}

#if CLDB_TEST_HOOKS
void SetFaultPlan(const FaultPlan& plan) {
  Plan& p = ThePlan();
  p.failAt.store(0, std::memory_order_release);  // no injection while the plan changes
  p.ops = plan.ops;
  p.error = plan.error;
  p.sticky = plan.sticky;
  p.calls = 0;
  p.injected = 0;
  p.failAt.store(plan.failAt, std::memory_order_release);
}

uint64_t CountedCalls() { return ThePlan().calls.load(); }

uint64_t InjectedFailures() { return ThePlan().injected.load(); }
#endif

}  // namespace io
}  // namespace cldb
