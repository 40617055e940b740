// MDLock: a named lock shared by every process of the machine.
//
// The lock is an flock(2) on the file "<name>.lock" in the library's private
// lock folder: $CLDB_LOCK_DIR when set, else $XDG_RUNTIME_DIR/cldb-locks,
// else /tmp/cldb-locks-<uid>. The folder is created with mode 0700 and is
// refused when it is a symbolic link, is owned by another user or is
// accessible to others, so no other user can plant a link in it. Because
// the kernel drops an flock when its holder dies, a crashed process never
// leaves the lock taken. Each MDLock object opens its own file description,
// so two objects of one name also exclude each other within one process.
#pragma once

#include "platform/Export.h"

#include <string>

class CLDB_EXPORT MDLock {
 public:
  explicit MDLock(const char* name);
  ~MDLock();  // releases the lock when this object holds it
  MDLock(const MDLock&) = delete;
  MDLock& operator=(const MDLock&) = delete;

  // False when the lock file could not be made; set() then always fails.
  bool IsValid() const { return fd_ >= 0; }
  const std::string& Error() const { return error_; }

  // Waits up to `timeoutMs` milliseconds; true once this object holds it.
  bool set(unsigned int timeoutMs);
  // Releases the lock when this object holds it; never touches a lock that
  // another object or process holds.
  void unset();
  bool isHeld() const { return held_; }

  static std::string LockFolder();

 private:
  int fd_ = -1;
  bool held_ = false;
  std::string error_;
};
