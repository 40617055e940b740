#include "TreeWalker.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

struct TreeWalker::Folder {
  Folder(int descriptor, std::string namedPath, dev_t namedDevice)
      : fd(descriptor), named(std::move(namedPath)), device(namedDevice) {}
  ~Folder() { close(fd); }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  const int fd;
  const std::string named;  // the named path the folder is (or is below)
  const dev_t device;       // that named path's device
};

namespace {

const int kChanged = -2;

// The d_type of a stat mode; every kind the walker skips maps to DT_FIFO.
unsigned char TypeOf(mode_t mode) {
  if (S_ISREG(mode)) return DT_REG;
  if (S_ISDIR(mode)) return DT_DIR;
  if (S_ISLNK(mode)) return DT_LNK;
  return DT_FIFO;
}

std::string Join(const std::string& dir, const char* name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

void SetTimes(const struct stat& info, TreeWalker::Entry& entry) {
  entry.mode = info.st_mode & 07777;
  entry.mtimeNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// `path` absolute, without trailing slashes, its parent folder resolved.
bool MakeCanonical(const std::string& path, std::string& canonical) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.find_last_of('/');
  const std::string parent =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : trimmed.substr(0, slash));
  const std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  char resolved[PATH_MAX];
  if (name.empty() || name == "." || name == "..") {  // "/", ".", "a/.."
    if (realpath(trimmed.c_str(), resolved) == nullptr) return false;
    canonical = resolved;
    return true;
  }
  if (realpath(parent.c_str(), resolved) == nullptr) return false;
  canonical = Join(resolved, name.c_str());
  return true;
}

TreeWalker::Entry Unreadable(const std::string& path, int error) {
  TreeWalker::Entry entry;
  entry.kind = TreeWalker::kUnreadable;
  entry.path = path;
  entry.error = error;
  return entry;
}

TreeWalker::Entry Found(TreeWalker::Kind kind, const std::string& path) {
  TreeWalker::Entry entry;
  entry.kind = kind;
  entry.path = path;
  return entry;
}

}  // namespace

bool TreeWalker::Below(const std::string& path, const std::string& folder) {
  if (folder == "/") return path != "/";
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

std::string TreeWalker::Canonical(const std::vector<std::string>& paths,
                                  std::vector<std::string>& canonical) {
  std::vector<std::string> all;
  for (const std::string& path : paths) {
    std::string resolved;
    if (!MakeCanonical(path, resolved)) return "'" + path + "': " + std::strerror(errno);
    all.push_back(resolved);
  }
  canonical.clear();
  for (const std::string& path : all) {
    const bool covered = std::any_of(all.begin(), all.end(),
                                     [&](const std::string& other) { return Below(path, other); });
    const bool repeated = std::find(canonical.begin(), canonical.end(), path) != canonical.end();
    if (!covered && !repeated) canonical.push_back(path);
  }
  return "";
}

bool TreeWalker::Matches(const std::string& pattern, const std::string& named,
                         const std::string& path) {
  if (!pattern.empty() && pattern[0] == '/')
    return fnmatch(pattern.c_str(), path.c_str(), FNM_PATHNAME) == 0;
  const size_t start = named == "/" ? 1 : named.size() + 1;
  const std::string relative = path.size() > start ? path.substr(start) : path;
  const size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return fnmatch(pattern.c_str(), relative.c_str(), FNM_PATHNAME) == 0 ||
         fnmatch(pattern.c_str(), name.c_str(), FNM_PATHNAME) == 0;
}

bool TreeWalker::Excludes(const Folder& folder, const std::string& path) const {
  return std::any_of(rules_.exclude.begin(), rules_.exclude.end(), [&](const std::string& pattern) {
    return Matches(pattern, folder.named, path);
  });
}

TreeWalker::TreeWalker(const std::vector<std::string>& paths, Rules rules)
    : rules_(std::move(rules)) {
  for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
    stack_.push_back({nullptr, *it, *it, DT_UNKNOWN});
    if (it->empty() || (*it)[0] != '/') continue;
    // Its parents, outermost on top.
    for (size_t slash = it->find_last_of('/'); slash != 0 && slash != std::string::npos;
         slash = it->find_last_of('/', slash - 1)) {
      const std::string parent = it->substr(0, slash);
      stack_.push_back({nullptr, parent, parent, DT_DIR, true});
    }
  }
}

int TreeWalker::Open(const Pending& item, Entry& found, struct stat& info) const {
  const int at = item.parent ? item.parent->fd : AT_FDCWD;
  // O_NONBLOCK: a file swapped for a pipe must not hang the open; it is
  // turned away below. Reads of a regular file ignore the flag.
  int flags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  if (!Follows(item)) flags |= O_NOFOLLOW;
  if (item.type == DT_DIR) flags |= O_DIRECTORY;
  const int fd = openat(at, item.name.c_str(), flags);
  if (fd < 0) return errno == ELOOP || errno == ENOTDIR ? kChanged : -1;
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
  found.size = static_cast<uint64_t>(info.st_size);
  SetTimes(info, found);
  return fd;
}

bool TreeWalker::ReadLink(const Pending& item, Entry& entry) {
  const int at = item.parent ? item.parent->fd : AT_FDCWD;
  struct stat info {};
  if (fstatat(at, item.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    entry = Unreadable(item.path, errno);
    return true;
  }
  entry = Found(kSymlink, item.path);
  SetTimes(info, entry);
  std::string target(static_cast<size_t>(std::max<off_t>(info.st_size, 0)) + 1, '\0');
  for (;;) {
    const ssize_t n = readlinkat(at, item.name.c_str(), &target[0], target.size());
    if (n < 0 && errno == EINVAL) {  // no longer a link
      ++skipped_;
      return false;
    }
    if (n < 0) {
      entry = Unreadable(item.path, errno);
      return true;
    }
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      break;
    }
    target.resize(target.size() * 2);  // it grew since it was examined
  }
  entry.target = std::move(target);
  return true;
}

bool TreeWalker::Parent(const Pending& item, Entry& entry) {
  if (!parentsReported_.insert(item.path).second) return false;
  struct stat info {};
  if (lstat(item.path.c_str(), &info) != 0) {
    entry = Unreadable(item.path, errno);
  } else if (!S_ISDIR(info.st_mode)) {
    entry = Unreadable(item.path, ENOTDIR);
  } else {
    entry = Found(kFolder, item.path);
    SetTimes(info, entry);
  }
  return true;
}

TreeWalker::Entry TreeWalker::Next() {
  while (!stack_.empty()) {
    Pending item = std::move(stack_.back());
    stack_.pop_back();
    Entry entry;
    if (item.parentOnly) {
      if (Parent(item, entry)) return entry;
      continue;
    }
    if (item.type == DT_UNKNOWN) {
      const int at = item.parent ? item.parent->fd : AT_FDCWD;
      struct stat info {};
      if (fstatat(at, item.name.c_str(), &info, Follows(item) ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return Unreadable(item.path, errno);
      item.type = TypeOf(info.st_mode);
    }
    if (item.type == DT_LNK) {
      if (ReadLink(item, entry)) return entry;
      continue;
    }
    if (item.type != DT_REG && item.type != DT_DIR) {
      ++skipped_;
      continue;
    }
    if (item.type == DT_REG && !rules_.openFiles) return Counted(item);
    struct stat info {};
    const int fd = Open(item, entry, info);
    if (fd == kChanged) {
      ++skipped_;
      continue;
    }
    if (fd < 0) return Unreadable(item.path, errno);
    entry.path = std::move(item.path);
    if (item.type == DT_REG) {
      entry.kind = kFile;
      entry.fd = fd;
      return entry;
    }
    const std::pair<dev_t, ino_t> identity(info.st_dev, info.st_ino);
    if (std::find(rules_.skipFolders.begin(), rules_.skipFolders.end(), identity) !=
        rules_.skipFolders.end()) {
      close(fd);
      ++excluded_;
      continue;
    }
    auto folder = item.parent
                      ? std::make_shared<Folder>(fd, item.parent->named, item.parent->device)
                      : std::make_shared<Folder>(fd, entry.path, info.st_dev);
    entry.kind = kFolder;
    entry.size = 0;
    if (rules_.oneFileSystem && info.st_dev != folder->device) return entry;  // a mount point
    const int error = List(std::move(folder), entry.path);
    if (error != 0) return Unreadable(entry.path, error);
    return entry;
  }
  return {};
}

TreeWalker::Entry TreeWalker::Counted(const Pending& item) {
  const int at = item.parent ? item.parent->fd : AT_FDCWD;
  struct stat info {};
  if (fstatat(at, item.name.c_str(), &info, Follows(item) ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
    return Unreadable(item.path, errno);
  Entry entry = Found(kFile, item.path);
  entry.size = static_cast<uint64_t>(info.st_size);
  SetTimes(info, entry);
  return entry;
}

int TreeWalker::List(std::shared_ptr<Folder> folder, const std::string& path) {
  const int fd = folder->fd;
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
    std::string child = Join(path, entry->d_name);
    if (Excludes(*folder, child)) {
      ++excluded_;
      continue;
    }
    entries.push_back({folder, entry->d_name, std::move(child), entry->d_type});
  }
  const int error = errno;
  closedir(handle);
  if (error != 0) return error;
  std::sort(entries.begin(), entries.end(),
            [](const Pending& a, const Pending& b) { return a.name > b.name; });
  for (Pending& entry : entries) stack_.push_back(std::move(entry));
  return 0;
}
