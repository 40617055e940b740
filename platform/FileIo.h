// FileIo: the one door through which the engine, the state file and the
// tool's store reach the file system for the calls that change or sync it.
//
// Each function has the contract of the POSIX call it is named after
// (result and errno included). Routing them through one place lets a test
// make the Nth call fail, in the manner of an I/O-error test loop: every
// layer above must then report the failure, keep what it trusted before and
// leave nothing behind that a later run could take for good data.
//
// LMDB does its own I/O and is not routed here; its failures reach the
// engine as LMDB errors.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace cldb {
namespace io {

// Kinds of call, for choosing which ones a fault plan counts.
enum Op : unsigned {
  kOpen = 1u << 0,    // Open, OpenAt
  kRead = 1u << 1,    // Read, PRead
  kWrite = 1u << 2,   // Write, PWrite, Ftruncate
  kSync = 1u << 3,    // Fsync, Fdatasync
  kRename = 1u << 4,  // Rename, RenameAt
  kUnlink = 1u << 5,  // Unlink, UnlinkAt
  kMkdir = 1u << 6,   // Mkdir, MkdirAt
  kAllOps = (1u << 7) - 1,
};

int Open(const char* path, int flags, mode_t mode = 0);
int OpenAt(int dirFd, const char* name, int flags, mode_t mode = 0);
ssize_t Read(int fd, void* buffer, size_t length);
ssize_t PRead(int fd, void* buffer, size_t length, off_t offset);
ssize_t Write(int fd, const void* buffer, size_t length);
ssize_t PWrite(int fd, const void* buffer, size_t length, off_t offset);
int Ftruncate(int fd, off_t length);
int Fsync(int fd);
int Fdatasync(int fd);
int Rename(const char* from, const char* to);
int RenameAt(int fromDirFd, const char* from, int toDirFd, const char* to);
int Unlink(const char* path);
int UnlinkAt(int dirFd, const char* name, int flags);
int Mkdir(const char* path, mode_t mode);
int MkdirAt(int dirFd, const char* name, mode_t mode);

#if CLDB_TEST_HOOKS
// Which calls fail, for tests. Calls of the kinds in `ops` are numbered
// from 1 after SetFaultPlan; call number `failAt` fails with `error` (0:
// none fails), and with `sticky` so does every counted call after it. A
// process started with CLDB_IO_FAULT="failAt[:ops[:errno[:sticky]]]" (ops
// as a number, sticky 0 or 1) starts with that plan; with CLDB_IO_FAULT_COUNT
// set as well, it writes at exit the number of calls it counted, as one
// decimal line, to the file that variable names.
struct FaultPlan {
  unsigned ops = kAllOps;
  uint64_t failAt = 0;
  int error = 5;  // EIO
  bool sticky = false;
};
void SetFaultPlan(const FaultPlan& plan);
// Calls of the plan's kinds made since it was set.
uint64_t CountedCalls();
// Calls failed on purpose since the plan was set.
uint64_t InjectedFailures();
#endif

}  // namespace io
}  // namespace cldb
