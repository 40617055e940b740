#include "storage/RootFolder.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cldb/CLDBNames.h"
#include "platform/FileIo.h"
#include "platform/ZelPlatformInfo.h"

namespace cldb {
namespace {

using cldb::kAuxFolderPrefix;
using cldb::kClientFolderPrefix;
const char kLockSuffix[] = ".lock";

std::string ErrnoText(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// `path` without trailing slashes (but "/" stays "/").
std::string TrimSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool ParseId(const std::string& digits, uint32_t& id) {
  if (digits.empty() || digits.size() > 10) return false;
  for (char c : digits)
    if (c < '0' || c > '9') return false;
  const unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
  if (value > UINT32_MAX) return false;
  id = static_cast<uint32_t>(value);
  return true;
}

// realpath(3) as a string; "" with errno set on failure.
std::string Resolve(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? resolved : "";
}

}  // namespace

std::string ClientCldbFolderName(uint32_t app, uint32_t copy) {
  return ClientFolderName(app, copy);
}

std::string AuxCldbFolderName(uint32_t copy) { return AuxFolderName(copy); }

bool CldbIdFromFolderName(const std::string& folder, uint32_t& cldbId) {
  const std::string path = TrimSlashes(folder);
  const std::string name = path.substr(path.find_last_of('/') + 1);
  const size_t prefixLength = sizeof(kClientFolderPrefix) - 1;
  if (name.compare(0, prefixLength, kAuxFolderPrefix) == 0)
    return ParseId(name.substr(prefixLength), cldbId);
  if (name.compare(0, prefixLength, kClientFolderPrefix) != 0) return false;
  const std::string ids = name.substr(prefixLength);
  const size_t separator = ids.find('_');
  uint32_t copy = 0;
  return separator != std::string::npos && ParseId(ids.substr(0, separator), cldbId) &&
         ParseId(ids.substr(separator + 1), copy);
}

std::string MakePrivateFolders(const std::string& folder) {
  if (folder.empty()) return "empty path";
  for (size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
    const std::string prefix = folder.substr(0, end);
    if (cldb::io::Mkdir(prefix.c_str(), ZelPlatformInfo::NewFolderMode()) != 0 && errno != EEXIST)
      return std::strerror(errno);
    if (end == std::string::npos) break;
  }
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) return std::strerror(errno);
  if (!S_ISDIR(info.st_mode)) return "not a directory";
  return "";
}

std::string CldbFolderLock::LockFilePath(const std::string& cldbFolder, std::string& error) {
  std::string folder = Resolve(cldbFolder);
  if (folder.empty()) {
    // Not made yet: its parent, resolved, and its own name.
    const std::string path = TrimSlashes(cldbFolder);
    const size_t slash = path.find_last_of('/');
    const std::string parent =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string resolvedParent = Resolve(parent);
    if (resolvedParent.empty()) {
      error = ErrnoText("cannot resolve '" + parent + "'", errno);
      return "";
    }
    folder = TrimSlashes(resolvedParent) + "/" + path.substr(slash + 1);
  }
  const size_t slash = folder.find_last_of('/');
  if (folder == "/" || slash + 1 == folder.size()) {
    error = "'" + cldbFolder + "' names no folder a lock file can go beside";
    return "";
  }
  return folder.substr(0, slash + 1) + "." + folder.substr(slash + 1) + kLockSuffix;
}

CldbFolderLock::CldbFolderLock(std::string cldbFolder) : folder_(std::move(cldbFolder)) {}

CldbFolderLock::~CldbFolderLock() {
  if (fd_ >= 0) close(fd_);  // drops the flock
}

bool CldbFolderLock::OpenLockFile() {
  const std::string path = LockFilePath(folder_, error_);
  if (path.empty()) return false;
  const size_t slash = path.find_last_of('/');
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = path.substr(slash + 1);
  const int dir = cldb::io::Open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (dir < 0) {
    error_ = ErrnoText("cannot open '" + parent + "'", errno);
    return false;
  }
  // O_NONBLOCK: a pipe planted under the name must not hang the open; it is
  // refused below.
  const int fd = cldb::io::OpenAt(dir, name.c_str(),
                                  O_RDONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0600);
  const int openError = errno;
  close(dir);
  if (fd < 0) {
    error_ = ErrnoText("cannot open lock file '" + path + "'", openError);
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    error_ = ErrnoText("cannot examine lock file '" + path + "'", errno);
  } else if (!S_ISREG(info.st_mode) || info.st_nlink != 1) {
    error_ = "lock file '" + path + "' is not a plain file";
  } else if (info.st_uid != geteuid() && info.st_uid != 0 && geteuid() != 0) {
    error_ = "lock file '" + path + "' belongs to another user";
  } else {
    fd_ = fd;
    return true;
  }
  close(fd);
  return false;
}

bool CldbFolderLock::TryLock() {
  if (held_) return true;
  error_.clear();
  if (fd_ < 0 && !OpenLockFile()) return false;
  for (;;) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return held_ = true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) error_ = ErrnoText("cannot lock '" + folder_ + "'", errno);
    return false;
  }
}

}  // namespace cldb
