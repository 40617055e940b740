#include "platform/CTkFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

#include "platform/FileIo.h"
#include "platform/ZelPlatformInfo.h"

namespace {

CTkError InvalidArgument(const char* what) { return CTkError::FromErrno(EINVAL, what); }

// Writes all of `length` bytes, retrying short writes and EINTR.
CTkError WriteAll(int fd, const void* buffer, size_t length, size_t& written) {
  const char* p = static_cast<const char*>(buffer);
  written = 0;
  while (written < length) {
    ssize_t n = cldb::io::Write(fd, p + written, length - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return CTkError::FromErrno(errno, "write");
    }
    written += static_cast<size_t>(n);
  }
  return CTkError();
}

// Whether `name` in the open folder `dir` is a folder (not following links).
bool EntryIsDirectory(DIR* dir, const dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_DIR;
  struct stat st;
  return fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

bool IsDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The entries of one folder, read in full before any callback runs so that
// callbacks may change the folder; sorted for a stable order.
CTkError ListFolder(const std::string& folder, std::vector<STkDirEntry>& entries) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return CTkError::FromErrno(errno, "opendir " + folder);
  for (;;) {
    errno = 0;
    dirent* entry = readdir(dir);
    if (!entry) break;
    if (IsDot(entry->d_name)) continue;
    entries.push_back(STkDirEntry{entry->d_name, EntryIsDirectory(dir, entry)});
  }
  int err = errno;
  closedir(dir);
  if (err) return CTkError::FromErrno(err, "readdir " + folder);
  std::sort(entries.begin(), entries.end(),
            [](const STkDirEntry& a, const STkDirEntry& b) { return a.name.str() < b.name.str(); });
  return CTkError();
}

int RemoveAt(int dir, const char* name);

// Removes everything inside the open folder `dir`, whose listing is read
// whole before anything is removed. Closes `dir`. 0 or an errno value.
int EmptyFolder(int dir) {
  DIR* listing = fdopendir(dir);
  if (!listing) {
    const int err = errno;
    close(dir);
    return err;
  }
  std::vector<std::string> names;
  int err = 0;
  for (;;) {
    errno = 0;
    dirent* entry = readdir(listing);
    if (!entry) {
      err = errno;
      break;
    }
    if (!IsDot(entry->d_name)) names.push_back(entry->d_name);
  }
  for (size_t i = 0; err == 0 && i < names.size(); ++i)
    err = RemoveAt(dirfd(listing), names[i].c_str());
  closedir(listing);
  return err;
}

// Removes the entry `name` of the open folder `dir`, never following a link.
// 0 (also when there is no such entry) or an errno value.
int RemoveAt(int dir, const char* name) {
  if (cldb::io::UnlinkAt(dir, name, 0) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR && errno != EPERM) return errno;
  const int sub = cldb::io::OpenAt(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (sub < 0) return errno;
  if (int err = EmptyFolder(sub)) return err;
  return cldb::io::UnlinkAt(dir, name, AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : errno;
}

}  // namespace

CTkError CTkError::FromErrno(int err, const std::string& what) {
  if (err == 0) return CTkError();
  return CTkError(-err, what + ": " + std::generic_category().message(err));
}

// ---- CTkFile ----------------------------------------------------------------

CTkFile::~CTkFile() { Close(); }

CTkError CTkFile::Open(const char* path, int flags, int mode) {
  if (!path) return InvalidArgument("open");
  Close();
  int fd;
  do {
    fd = cldb::io::Open(path, flags, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return CTkError::FromErrno(errno, std::string("open ") + path);
  fd_ = fd;
  return CTkError();
}

CTkError CTkFile::OpenRegular(const char* path, int flags) {
  if (!path || (flags & O_CREAT)) return InvalidArgument("open");
  CTkError error = Open(path, flags | O_NOFOLLOW | O_NONBLOCK, 0);
  if (error.IsError()) {
    if (error.GetErrorCode() == -ELOOP)
      return CTkError(-ELOOP, std::string("open ") + path + ": is a symbolic link");
    return error;
  }
  struct stat st;
  if (fstat(fd_, &st) != 0)
    error = CTkError::FromErrno(errno, std::string("fstat ") + path);
  else if (!S_ISREG(st.st_mode))
    error = CTkError(-EINVAL, std::string("open ") + path + ": not a regular file");
  else if (fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK) != 0)
    error = CTkError::FromErrno(errno, std::string("fcntl ") + path);
  if (error.IsError()) Close();
  return error;
}

CTkError CTkFile::Close() {
  if (fd_ < 0) return CTkError();
  int fd = fd_;
  fd_ = -1;
  // The descriptor is gone even when close reports an error; never retry.
  if (close(fd) != 0 && errno != EINTR) return CTkError::FromErrno(errno, "close");
  return CTkError();
}

CTkError CTkFile::Size(unsigned long long& size) {
  struct stat st;
  if (fstat(fd_, &st) != 0) return CTkError::FromErrno(errno, "fstat");
  size = static_cast<unsigned long long>(st.st_size);
  return CTkError();
}

CTkError CTkFile::Read(void* buffer, unsigned int length, unsigned int* read) {
  char* p = static_cast<char*>(buffer);
  unsigned int done = 0;
  CTkError result;
  while (done < length) {
    ssize_t n = cldb::io::Read(fd_, p + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = CTkError::FromErrno(errno, "read");
      break;
    }
    if (n == 0) break;  // end of file
    done += static_cast<unsigned int>(n);
  }
  if (read) *read = done;
  return result;
}

CTkError CTkFile::Write(const void* buffer, unsigned int length, unsigned int* written) {
  size_t done = 0;
  CTkError result = WriteAll(fd_, buffer, length, done);
  if (written) *written = static_cast<unsigned int>(done);
  return result;
}

CTkError CTkFile::Truncate(long length) {
  if (length < 0) return InvalidArgument("truncate");
  if (cldb::io::Ftruncate(fd_, length) != 0) return CTkError::FromErrno(errno, "ftruncate");
  if (lseek(fd_, length, SEEK_SET) < 0) return CTkError::FromErrno(errno, "lseek");
  return CTkError();
}

CTkError CTkFile::Flush() {
  if (cldb::io::Fsync(fd_) != 0) return CTkError::FromErrno(errno, "fsync");
  return CTkError();
}

CTkError CTkFile::Copy(const char* source, const char* destination) {
  if (!source || !destination) return InvalidArgument("copy");
  CTkFile in, out;
  CTkError error = in.OpenRegular(source, O_RDONLY);
  if (error.IsError()) return error;
  struct stat st;
  if (fstat(in.fd_, &st) != 0) return CTkError::FromErrno(errno, std::string("fstat ") + source);
  error = out.Open(destination, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, st.st_mode & 0777);
  if (error.IsError()) return error;
  struct stat target;
  if (fstat(out.fd_, &target) != 0) return CTkError::FromErrno(errno, destination);
  // Truncating first would destroy a source that is the destination itself.
  if (target.st_dev == st.st_dev && target.st_ino == st.st_ino)
    return CTkError::FromErrno(EINVAL, std::string("copy onto itself ") + source);
  if (!S_ISREG(target.st_mode))
    return CTkError(-EINVAL, std::string("copy onto ") + destination + ": not a regular file");
  error = out.Truncate(0);
  char buffer[64 * 1024];
  while (!error.IsError()) {
    unsigned int n = 0;
    error = in.Read(buffer, sizeof buffer, &n);
    if (error.IsError() || n == 0) break;
    error = out.Write(buffer, n, nullptr);
    if (error.IsError()) break;
  }
  if (!error.IsError()) error = out.Flush();
  CTkError closed = out.Close();
  if (!error.IsError()) error = closed;
  if (error.IsError()) cldb::io::Unlink(destination);  // never leave a partial copy behind
  return error;
}

CTkError CTkFile::Rename(const char* from, const char* to) {
  if (!from || !to) return InvalidArgument("rename");
  if (cldb::io::Rename(from, to) != 0)
    return CTkError::FromErrno(errno, std::string("rename ") + from);
  return CTkError();
}

// ---- CTkPath ----------------------------------------------------------------

CTkError CTkPath::Exists(const char* path, bool& exists) {
  if (!path) return InvalidArgument("stat");
  struct stat st;
  if (stat(path, &st) == 0) {
    exists = true;
    return CTkError();
  }
  if (errno == ENOENT || errno == ENOTDIR) {
    exists = false;
    return CTkError();
  }
  return CTkError::FromErrno(errno, std::string("stat ") + path);
}

CTkString CTkPath::Append(const char* folder, const char* name) {
  std::string f = folder ? folder : "";
  std::string n = name ? name : "";
  while (f.size() > 1 && f.back() == '/') f.pop_back();
  size_t skip = n.find_first_not_of('/');
  n = skip == std::string::npos ? "" : n.substr(skip);
  if (f.empty()) return n;
  if (n.empty()) return f;
  return f.back() == '/' ? f + n : f + "/" + n;
}

bool CTkPath::IsDirectory(const char* path) {
  struct stat st;
  return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- CTkDirectory -------------------------------------------------------------

CTkDirectory::~CTkDirectory() { Close(); }

CTkError CTkDirectory::Create(const char* folder, bool recursive) {
  if (!folder || !*folder) return InvalidArgument("mkdir");
  if (cldb::io::Mkdir(folder, ZelPlatformInfo::NewFolderMode()) != 0 && errno != EEXIST) {
    const std::string path = folder;
    const size_t slash = path.find_last_of('/', path.find_last_not_of('/'));
    if (!recursive || errno != ENOENT || slash == std::string::npos || slash == 0)
      return CTkError::FromErrno(errno, "mkdir " + path);
    CTkError parent = Create(path.substr(0, slash).c_str(), true);
    if (parent.IsError()) return parent;
    if (cldb::io::Mkdir(folder, ZelPlatformInfo::NewFolderMode()) != 0 && errno != EEXIST)
      return CTkError::FromErrno(errno, "mkdir " + path);
  }
  if (!CTkPath::IsDirectory(folder)) return CTkError::FromErrno(ENOTDIR, folder);
  return CTkError();
}

CTkError CTkDirectory::Remove(const char* folder, bool recursive, bool keepFolder) {
  if (!folder || !*folder) return InvalidArgument("rmdir");
  // A link to a folder is not the folder: never empty the folder it points to.
  struct stat st;
  if (lstat(folder, &st) != 0) return CTkError::FromErrno(errno, std::string("rmdir ") + folder);
  if (!S_ISDIR(st.st_mode)) return CTkError::FromErrno(ENOTDIR, std::string("rmdir ") + folder);
  if (recursive) {
    const int dir = cldb::io::Open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    const int err = dir < 0 ? errno : EmptyFolder(dir);
    if (err) return CTkError::FromErrno(err, std::string("remove ") + folder);
  }
  if (keepFolder) return CTkError();
  if (cldb::io::UnlinkAt(AT_FDCWD, folder, AT_REMOVEDIR) != 0)
    return CTkError::FromErrno(errno, std::string("rmdir ") + folder);
  return CTkError();
}

CTkError CTkDirectory::Walk(const char* folder, void* context, int flags, bool recursive,
                            WalkCallback callback) {
  if (!folder || !callback || flags != 0) return InvalidArgument("walk");
  std::vector<STkDirEntry> entries;
  CTkError error = ListFolder(folder, entries);
  for (size_t i = 0; !error.IsError() && i < entries.size(); ++i) {
    const STkDirEntry& entry = entries[i];
    error = callback(folder, entry.name.c_str(), entry.isDirectory, context);
    if (!error.IsError() && recursive && entry.isDirectory)
      error = Walk(CTkPath::Append(folder, entry.name.c_str()).c_str(), context, 0, true, callback);
  }
  return error;
}

CTkError CTkDirectory::Sync(const char* folder) {
  if (!folder) return InvalidArgument("sync");
  int fd = cldb::io::Open(folder, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return CTkError::FromErrno(errno, std::string("open ") + folder);
  CTkError error;
  if (cldb::io::Fsync(fd) != 0) error = CTkError::FromErrno(errno, std::string("fsync ") + folder);
  close(fd);
  return error;
}

CTkError CTkDirectory::RemoveNamed(const char* folder, const std::vector<std::string>& names) {
  if (!folder) return InvalidArgument("remove");
  const int dir = cldb::io::Open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (dir < 0)
    return errno == ELOOP ? CTkError(-ELOOP, std::string("open ") + folder + ": is a symbolic link")
                          : CTkError::FromErrno(errno, std::string("open ") + folder);
  CTkError error;
  for (const std::string& name : names) {
    if (name.empty() || name.find('/') != std::string::npos || IsDot(name.c_str())) continue;
    if (int err = RemoveAt(dir, name.c_str())) {
      error = CTkError::FromErrno(err, "remove " + CTkPath::Append(folder, name.c_str()).str());
      break;
    }
  }
  close(dir);
  return error;
}

CTkError CTkDirectory::Open(const char* folder, const char* pattern, bool skipDots) {
  if (!folder) return InvalidArgument("opendir");
  Close();
  DIR* dir = opendir(folder);
  if (!dir) return CTkError::FromErrno(errno, std::string("opendir ") + folder);
  dir_ = dir;
  folder_ = folder;
  pattern_ = (pattern && *pattern) ? pattern : "*";
  skipDots_ = skipDots;
  return CTkError();
}

CTkError CTkDirectory::GetEntry(STkDirEntry& entry, bool& end) {
  DIR* dir = static_cast<DIR*>(dir_);
  if (!dir) return CTkError::FromErrno(EBADF, "readdir");
  for (;;) {
    errno = 0;
    dirent* d = readdir(dir);
    if (!d) {
      if (errno) return CTkError::FromErrno(errno, "readdir " + folder_);
      end = true;
      return CTkError();
    }
    if (skipDots_ && IsDot(d->d_name)) continue;
    if (fnmatch(pattern_.c_str(), d->d_name, 0) != 0) continue;
    entry.name = CTkString(d->d_name);
    entry.isDirectory = EntryIsDirectory(dir, d);
    end = false;
    return CTkError();
  }
}

CTkError CTkDirectory::Close() {
  if (!dir_) return CTkError();
  DIR* dir = static_cast<DIR*>(dir_);
  dir_ = nullptr;
  if (closedir(dir) != 0) return CTkError::FromErrno(errno, "closedir " + folder_);
  return CTkError();
}
