#include "TreeWalker.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The d_type of what lstat found; every kind the walker skips maps to one.
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
  for (auto it = paths.rbegin(); it != paths.rend(); ++it) stack_.push_back({*it, DT_UNKNOWN});
}

TreeWalker::Entry TreeWalker::Next() {
  while (!stack_.empty()) {
    Pending item = std::move(stack_.back());
    stack_.pop_back();
    if (item.type == DT_UNKNOWN) {
      struct stat info {};
      if (lstat(item.path.c_str(), &info) != 0) return {kUnreadable, item.path, errno};
      item.type = TypeOf(info.st_mode);
    }
    if (item.type == DT_REG) return {kFile, item.path, 0};
    if (item.type != DT_DIR) {
      ++skipped_;
      continue;
    }
    const int error = List(item.path);
    if (error != 0) return {kUnreadable, item.path, error};
  }
  return {kDone, "", 0};
}

int TreeWalker::List(const std::string& dir) {
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return errno;
  std::vector<Pending> entries;
  errno = 0;
  while (struct dirent* entry = readdir(handle)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    entries.push_back({Join(dir, entry->d_name), entry->d_type});
  }
  const int error = errno;
  closedir(handle);
  if (error != 0) return error;
  std::sort(entries.begin(), entries.end(),
            [](const Pending& a, const Pending& b) { return a.path > b.path; });
  for (Pending& entry : entries) stack_.push_back(std::move(entry));
  return 0;
}
