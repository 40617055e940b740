#include "TreeWalker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

struct TreeWalker::Folder {
  explicit Folder(int descriptor) : fd(descriptor) {}
  ~Folder() { close(fd); }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  const int fd;
};

namespace {

const int kChanged = -2;

// The d_type of a stat mode; every kind the walker skips maps to one.
unsigned char TypeOf(mode_t mode) {
  if (S_ISREG(mode)) return DT_REG;
  if (S_ISDIR(mode)) return DT_DIR;
  return DT_LNK;
}

std::string Join(const std::string& dir, const char* name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace

TreeWalker::TreeWalker(const std::vector<std::string>& paths) {
  for (auto it = paths.rbegin(); it != paths.rend(); ++it)
    stack_.push_back({nullptr, *it, *it, DT_UNKNOWN});
}

int TreeWalker::Open(const Pending& item, uint64_t& size) {
  const int at = item.parent ? item.parent->fd : AT_FDCWD;
  // O_NONBLOCK: a file swapped for a pipe must not hang the open; it is
  // turned away below. Reads of a regular file ignore the flag.
  int flags = O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  if (item.type == DT_DIR) flags |= O_DIRECTORY;
  const int fd = openat(at, item.name.c_str(), flags);
  if (fd < 0) return errno == ELOOP || errno == ENOTDIR ? kChanged : -1;
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  if (TypeOf(info.st_mode) != item.type) {
    close(fd);
    return kChanged;
  }
  size = static_cast<uint64_t>(info.st_size);
  return fd;
}

TreeWalker::Entry TreeWalker::Next() {
  while (!stack_.empty()) {
    Pending item = std::move(stack_.back());
    stack_.pop_back();
    if (item.type == DT_UNKNOWN) {
      const int at = item.parent ? item.parent->fd : AT_FDCWD;
      struct stat info {};
      if (fstatat(at, item.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return {kUnreadable, item.path, errno};
      item.type = TypeOf(info.st_mode);
    }
    if (item.type != DT_REG && item.type != DT_DIR) {
      ++skipped_;
      continue;
    }
    uint64_t size = 0;
    const int fd = Open(item, size);
    if (fd == kChanged) {
      ++skipped_;
      continue;
    }
    if (fd < 0) return {kUnreadable, item.path, errno};
    if (item.type == DT_REG) return {kFile, std::move(item.path), 0, fd, size};
    const int error = List(fd, item.path);
    if (error != 0) return {kUnreadable, item.path, error};
  }
  return {};
}

int TreeWalker::List(int fd, const std::string& path) {
  auto folder = std::make_shared<Folder>(fd);
  // The listing reads through a descriptor of its own; `folder` stays open
  // for the entries.
  const int listFd = dup(fd);
  DIR* handle = listFd < 0 ? nullptr : fdopendir(listFd);
  if (handle == nullptr) {
    const int error = errno;
    if (listFd >= 0) close(listFd);
    return error;
  }
  std::vector<Pending> entries;
  errno = 0;
  while (struct dirent* entry = readdir(handle)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    entries.push_back({folder, entry->d_name, Join(path, entry->d_name), entry->d_type});
  }
  const int error = errno;
  closedir(handle);
  if (error != 0) return error;
  std::sort(entries.begin(), entries.end(),
            [](const Pending& a, const Pending& b) { return a.name > b.name; });
  for (Pending& entry : entries) stack_.push_back(std::move(entry));
  return 0;
}
