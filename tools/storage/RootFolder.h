// The layout of a CLDB root folder that the tool and its storage side share:
// the names of the CLDB folders, how folders are created, and the lock that
// keeps two processes off one CLDB.
//
// Every CLDB folder "<root>/<name>" has a lock file "<root>/.<name>.lock".
// It lives beside the folder, not in it, because the library wipes a CLDB
// folder when it recreates the CLDB, and it is never deleted, so every
// process that locks the CLDB locks the same file. Where the lock is depends
// on nothing but the folder: not on the environment, the user or the
// working directory.
#pragma once

#include <cstdint>
#include <string>

namespace cldb {

// "ZEL_CLDB_APP_<app>_<copy>": the CLDB of client `app` on copy `copy`.
std::string ClientCldbFolderName(uint32_t app, uint32_t copy);
// "ZEL_CLDB_AUX_<copy>": the CLDB of the auxiliary copy `copy`.
std::string AuxCldbFolderName(uint32_t copy);
// The CLDB id a CLDB folder's name encodes (the client of a client CLDB, the
// copy of an auxiliary one); false for any other name. `folder` may be a
// path; its last component is read.
bool CldbIdFromFolderName(const std::string& folder, uint32_t& cldbId);

// Creates `folder` and its missing parents, each private (mode 0700 unless
// configured: ZelPlatformInfo::NewFolderMode); an existing folder is left as
// it is. "" on success, else why not.
std::string MakePrivateFolders(const std::string& folder);

// A machine-wide lock of one CLDB folder: an flock(2) on the folder's lock
// file, which the kernel drops when the holder dies, so a crashed process
// never leaves a CLDB locked. The folder's path is resolved (symbolic links
// the caller named are followed, so two spellings of one folder meet the
// same lock); the folder itself need not exist yet, its parent must. The lock
// file is opened relative to that parent and never through a symbolic link;
// one that is not a plain, singly linked file of this user or of the
// superuser (the superuser takes any owner's) is refused rather than
// trusted, and it is only ever read.
// Each object opens its own file description, so two objects exclude each
// other within one process too. Not thread-safe.
class CldbFolderLock {
 public:
  explicit CldbFolderLock(std::string cldbFolder);
  ~CldbFolderLock();  // releases the lock
  CldbFolderLock(const CldbFolderLock&) = delete;
  CldbFolderLock& operator=(const CldbFolderLock&) = delete;

  // One attempt, no wait; true once this object holds the lock. False when
  // another holds it (Error() is then empty) or when the lock file cannot be
  // used (Error() says why).
  bool TryLock();
  const std::string& Error() const { return error_; }

  // The lock file of `cldbFolder`; "" with `error` set when its parent
  // folder cannot be resolved.
  static std::string LockFilePath(const std::string& cldbFolder, std::string& error);

 private:
  bool OpenLockFile();

  std::string folder_;
  int fd_ = -1;
  bool held_ = false;
  std::string error_;
};

}  // namespace cldb
