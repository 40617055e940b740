#include "platform/MDLock.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/FileIo.h"

namespace {

std::string ErrnoText(const std::string& what, int err) {
  return what + ": " + std::generic_category().message(err);
}

// Only [A-Za-z0-9_.-] reach the file system; anything else (notably '/')
// becomes '_', so a name can never leave the lock folder.
std::string FileNameFor(const char* name) {
  std::string file = (name && *name) ? name : "_";
  for (char& ch : file) {
    bool safe = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                ch == '_' || ch == '.' || ch == '-';
    if (!safe) ch = '_';
  }
  return file + ".lock";
}

// Creates `folder` (mode 0700) when missing, its parents too.
void CreateFolder(const std::string& folder) {
  if (cldb::io::Mkdir(folder.c_str(), 0700) == 0 || errno != ENOENT) return;
  size_t slash = folder.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return;
  CreateFolder(folder.substr(0, slash));
  cldb::io::Mkdir(folder.c_str(), 0700);
}

// "" when `st` describes a private folder of ours, else why it is refused.
std::string CheckPrivateFolder(const struct stat& st, const std::string& folder) {
  if (S_ISLNK(st.st_mode)) return "lock folder " + folder + " is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return "lock folder " + folder + " is not a folder";
  if (st.st_uid != geteuid()) return "lock folder " + folder + " belongs to another user";
  if (st.st_mode & 077) return "lock folder " + folder + " is open to other users";
  return "";
}

// Opens the private lock folder after checking it; the checks are repeated
// on the opened descriptor so that a swap between lstat and open cannot
// slip by.
int OpenPrivateFolder(const std::string& folder, std::string& error) {
  CreateFolder(folder);
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0) {
    error = ErrnoText("lock folder " + folder, errno);
    return -1;
  }
  if (!(error = CheckPrivateFolder(st, folder)).empty()) return -1;
  int dir = cldb::io::Open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (dir < 0) {
    error = ErrnoText("lock folder " + folder, errno);
    return -1;
  }
  if (fstat(dir, &st) != 0 || !(error = CheckPrivateFolder(st, folder)).empty()) {
    if (error.empty()) error = ErrnoText("lock folder " + folder, errno);
    close(dir);
    return -1;
  }
  return dir;
}

// Opens (creating it when it can) the lock file `file` in the open folder
// `dir`, never following a link and never blocking on a special file. The
// file must belong to the caller or to the folder's owner: no one else can
// have made it there unless they could write the folder.
int OpenLockFile(int dir, const std::string& file, std::string& error) {
  const int common = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = cldb::io::OpenAt(dir, file.c_str(), O_RDWR | O_CREAT | common, 0600);
  if (fd < 0 && (errno == EACCES || errno == EROFS))
    fd = cldb::io::OpenAt(dir, file.c_str(), O_RDONLY | common);  // a folder we may not write
  if (fd < 0) {
    error = ErrnoText("lock file " + file, errno);
    return -1;
  }
  struct stat st, folder;
  if (fstat(fd, &st) != 0 || fstat(dir, &folder) != 0) {
    error = ErrnoText("lock file " + file, errno);
  } else if (!S_ISREG(st.st_mode)) {
    error = "lock file " + file + " is not a regular file";
  } else if (st.st_uid != geteuid() && st.st_uid != folder.st_uid) {
    error = "lock file " + file + " belongs to another user";
  } else if ((st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) {
    error = ErrnoText("lock file " + file + " is open to other users", errno);
  }
  if (error.empty()) return fd;
  close(fd);
  return -1;
}

}  // namespace

std::string MDLock::LockFolder() {
  // A relative folder would name a different lock in every working folder.
  const char* explicitFolder = getenv("CLDB_LOCK_DIR");
  if (explicitFolder && *explicitFolder == '/') return explicitFolder;
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime == '/') return std::string(runtime) + "/cldb-locks";
  return "/tmp/cldb-locks-" + std::to_string(geteuid());
}

MDLock::MDLock(const char* folder, const char* name) {
  const std::string folderName = folder ? folder : "";
  int dir = cldb::io::Open(folderName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (dir < 0) {
    error_ = ErrnoText("lock folder " + folderName, errno);
    return;
  }
  OpenIn(dir, folderName, name);
  close(dir);
}

MDLock::MDLock(const char* name) {
  const std::string folder = LockFolder();
  int dir = OpenPrivateFolder(folder, error_);
  if (dir < 0) return;
  OpenIn(dir, folder, name);
  close(dir);
}

void MDLock::OpenIn(int folder, const std::string& folderName, const char* name) {
  fd_ = OpenLockFile(folder, FileNameFor(name), error_);
  if (fd_ < 0) error_ += " (in " + folderName + ")";
}

MDLock::~MDLock() {
  unset();
  if (fd_ >= 0) close(fd_);
}

bool MDLock::set(unsigned int timeoutMs) {
  if (fd_ < 0) return false;
  if (held_) return true;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return held_ = true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      error_ = ErrnoText("flock", errno);
      return false;
    }
    auto now = Clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(10));
  }
}

void MDLock::unset() {
  if (!held_) return;
  flock(fd_, LOCK_UN);
  held_ = false;
}
