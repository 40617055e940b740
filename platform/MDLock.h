// MDLock: a named lock between processes, an flock(2) on the file
// "<name>.lock" in a lock folder. The kernel drops an flock when its holder
// dies, so a crashed process never leaves the lock taken. Each MDLock object
// opens its own file description, so two objects of one name also exclude
// each other within one process (and one object never excludes itself).
//
// Where the lock file lives decides who shares the lock:
//
// - MDLock(folder, name): in the given folder, typically the folder of the
//   data the lock guards. Every process that reaches that folder meets the
//   same lock, whatever its environment or user, and no one who cannot
//   write the folder can create, replace or hold the lock file. This is the
//   form the CLDB uses for everything shared between processes.
// - MDLock(name): in a private folder of the calling user, $CLDB_LOCK_DIR
//   when set to an absolute path, else $XDG_RUNTIME_DIR/cldb-locks, else
//   /tmp/cldb-locks-<uid> (mode 0700, refused when it is a symbolic link,
//   belongs to another user or is open to others). Only processes of one
//   user and one environment share it.
//
// The lock file is opened without following links, must be a regular file
// of the calling user or of the folder's owner, and is kept mode 0600, so no
// other user can open it to hold the lock. In a folder the caller may not write, an existing lock
// file is opened read-only (flock needs no write access).
#pragma once

#include <string>

class MDLock {
 public:
  MDLock(const char* folder, const char* name);
  explicit MDLock(const char* name);
  ~MDLock();  // releases the lock when this object holds it
  MDLock(const MDLock&) = delete;
  MDLock& operator=(const MDLock&) = delete;

  // False when the lock file could not be opened; set() then always fails
  // and Error() says why.
  bool IsValid() const { return fd_ >= 0; }
  const std::string& Error() const { return error_; }

  // Waits up to `timeoutMs` milliseconds (0: one attempt); true once this
  // object holds the lock.
  bool set(unsigned int timeoutMs);
  // Releases the lock when this object holds it; never touches a lock that
  // another object or process holds.
  void unset();
  bool isHeld() const { return held_; }

  // The private folder of MDLock(name).
  static std::string LockFolder();

 private:
  void OpenIn(int folder, const std::string& folderName, const char* name);

  int fd_ = -1;
  bool held_ = false;
  std::string error_;
};
