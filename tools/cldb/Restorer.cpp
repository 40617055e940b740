#include "Restorer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileIo.h"
#include "storage/PackFolder.h"

namespace {

using cldb::EntryKind;
using cldb::TreeEntry;

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

bool Within(const std::string& path, const std::string& folder) {
  return folder.empty() || path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

struct timespec TimeOf(int64_t ns) {
  struct timespec time {};
  time.tv_sec = static_cast<time_t>(ns / 1000000000);
  time.tv_nsec = static_cast<long>(ns % 1000000000);
  if (time.tv_nsec < 0) {
    time.tv_nsec += 1000000000;
    --time.tv_sec;
  }
  return time;
}

// Access time left alone, modification time set.
void SetTimes(const struct timespec& mtime, struct timespec (&times)[2]) {
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = mtime;
}

}  // namespace

Restorer::Restorer(cldb::SqliteStorageBackend& storage,
                   const cldb::SqliteStorageBackend::JobInfo& job, int targetFd,
                   std::string targetPath, bool overwrite, Reporter reporter)
    : job_(job),
      targetFd_(targetFd),
      targetPath_(std::move(targetPath)),
      overwrite_(overwrite),
      reporter_(std::move(reporter)),
      reader_(storage) {
  open_.push_back({"", targetFd_});
}

Restorer::~Restorer() {
  for (size_t i = 1; i < open_.size(); ++i) close(open_[i].fd);
}

std::string Restorer::Check(const std::vector<TreeEntry>& entries) const {
  for (const TreeEntry& entry : entries) {
    const std::string wrong = cldb::CheckEntry(entry, job_.blockSize);
    if (!wrong.empty())
      return "job " + std::to_string(job_.jobId) + " holds an entry that cannot be restored (" +
             wrong + ")";
    struct stat info {};
    if (fstatat(targetFd_, entry.path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const bool folder = S_ISDIR(info.st_mode);
    const std::string where = "'" + targetPath_ + "/" + entry.path + "'";
    if (entry.kind == EntryKind::kFolder && !folder) return where + " exists and is not a folder";
    if (entry.kind != EntryKind::kFolder && folder) return where + " exists and is a folder";
    if (entry.kind != EntryKind::kFolder && !overwrite_)
      return where + " exists (give --overwrite to replace files)";
  }
  return "";
}

void Restorer::Restore(const std::vector<TreeEntry>& entries) {
  for (const TreeEntry& entry : entries) {
    const std::string wrong = cldb::CheckEntry(entry, job_.blockSize);
    if (!wrong.empty()) {
      Fail(entry, wrong);
      continue;
    }
    RestoreEntry(entry);
  }
}

void Restorer::RestoreEntry(const TreeEntry& entry) {
  std::string problem;
  if (entry.kind == EntryKind::kFolder) {
    if (Folder(entry.path, problem) < 0) return Fail(entry, problem);
    folders_.push_back({entry.path, entry.mode, entry.mtimeNs});
    ++counts_.folders;
    return;
  }
  const int parent = Folder(ParentOf(entry.path), problem);
  if (parent < 0) return Fail(entry, problem);
  const std::string name = NameOf(entry.path);
  problem = Clear(parent, name);
  if (!problem.empty()) return Fail(entry, problem);
  if (entry.kind == EntryKind::kFile) {
    problem = RestoreFile(parent, name, entry);
    if (!problem.empty()) return Fail(entry, problem);
    ++counts_.files;
    counts_.bytes += entry.size;
    return;
  }
  struct timespec times[2];
  SetTimes(TimeOf(entry.mtimeNs), times);
  if (symlinkat(entry.data.c_str(), parent, name.c_str()) != 0 ||
      utimensat(parent, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    return Fail(entry, std::strerror(errno));
  ++counts_.links;
}

int Restorer::Folder(const std::string& path, std::string& problem) {
  while (!Within(path, open_.back().path)) {
    close(open_.back().fd);
    open_.pop_back();
  }
  while (open_.back().path != path) {
    const std::string& above = open_.back().path;
    const size_t start = above.empty() ? 0 : above.size() + 1;
    const size_t end = path.find('/', start);
    const std::string name = path.substr(start, end == std::string::npos ? end : end - start);
    const std::string next = path.substr(0, end);
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW;
    int fd = cldb::io::OpenAt(open_.back().fd, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT && cldb::io::MkdirAt(open_.back().fd, name.c_str(), 0700) == 0)
      fd = cldb::io::OpenAt(open_.back().fd, name.c_str(), flags);
    if (fd < 0) {
      problem = errno == ENOTDIR || errno == ELOOP
                    ? "'" + targetPath_ + "/" + next + "' is in the way: it is not a folder"
                    : cldb::ErrnoMessage("cannot make '" + targetPath_ + "/" + next + "'");
      return -1;
    }
    open_.push_back({next, fd});
  }
  return open_.back().fd;
}

std::string Restorer::Clear(int parent, const std::string& name) const {
  struct stat info {};
  if (fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? "" : std::strerror(errno);
  if (S_ISDIR(info.st_mode)) return "a folder stands in its place";
  if (!overwrite_) return "it exists (give --overwrite to replace files)";
  if (cldb::io::UnlinkAt(parent, name.c_str(), 0) != 0)
    return cldb::ErrnoMessage("cannot replace it");
  return "";
}

std::string Restorer::RestoreFile(int parent, const std::string& name, const TreeEntry& file) {
  const int fd =
      cldb::io::OpenAt(parent, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  if (fd < 0) return cldb::ErrnoMessage("cannot create it");
  std::string problem = WriteBlocks(fd, file);
  struct timespec times[2];
  SetTimes(TimeOf(file.mtimeNs), times);
  if (problem.empty() && (fchmod(fd, file.mode) != 0 || futimens(fd, times) != 0))
    problem = cldb::ErrnoMessage("cannot set its mode and time");
  close(fd);
  // What could not be restored whole is not left behind.
  if (!problem.empty()) cldb::io::UnlinkAt(parent, name.c_str(), 0);
  return problem;
}

std::string Restorer::WriteBlocks(int fd, const TreeEntry& file) {
  uint64_t offset = 0;
  for (size_t block = 0; block < file.Blocks(); ++block) {
    const uint32_t size = cldb::BlockSize(file, block, job_.blockSize);
    std::string problem;
    const unsigned char* data = nullptr;
    if (!reader_.Fetch(file.Digest(block), size, job_.copyId, data, problem))
      return "block " + std::to_string(block + 1) + " of " + std::to_string(file.Blocks()) +
             " is missing or damaged: " + problem;
    if (cldb::WriteFully(fd, data, size, static_cast<off_t>(offset)) != 0)
      return cldb::ErrnoMessage("cannot write it");
    offset += size;
  }
  return "";
}

void Restorer::Finish() {
  std::string problem;
  for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) {
    const int fd = Folder(it->path, problem);
    struct timespec times[2];
    SetTimes(TimeOf(it->mtimeNs), times);
    if (fd < 0 || fchmod(fd, it->mode) != 0 || futimens(fd, times) != 0) {
      reporter_("cannot set the mode and time of '" + targetPath_ + "/" + it->path +
                "': " + (fd < 0 ? problem : std::strerror(errno)));
      ++counts_.failed;
    }
  }
  folders_.clear();
}

void Restorer::Fail(const TreeEntry& entry, const std::string& problem) {
  ++counts_.failed;
  reporter_("cannot restore '" + targetPath_ + "/" + entry.path + "': " + problem);
}
