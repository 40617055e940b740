#include "storage/PackFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/FileIo.h"
#include "platform/ZelPlatformInfo.h"
#include "storage/PackFormat.h"

namespace cldb {
namespace {

// Closes a descriptor on every way out, keeping errno.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ < 0) return;
    const int saved = errno;
    close(fd_);
    errno = saved;
  }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  int Get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string ErrnoMessage(const std::string& what) { return what + ": " + std::strerror(errno); }

// Writes go out in slices of at most this many bytes. One write of tens of
// megabytes makes the kernel fill the page cache with large folios, which on
// some kernels and virtual machines copies several times slower than the
// same bytes written a slice at a time (measured with bench/e2e).
const size_t kWriteSlice = 128 << 10;

int WriteFully(int fd, const void* data, size_t length, off_t offset) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = io::PWrite(fd, bytes + done, std::min(length - done, kWriteSlice),
                                 offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

ssize_t ReadFully(int fd, void* data, size_t length, off_t offset) {
  auto* bytes = static_cast<unsigned char*>(data);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = io::PRead(fd, bytes + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

std::unique_ptr<PackFolder> PackFolder::Open(const std::string& root, std::string& error) {
  const std::string path = root + "/" + kFolderName;
  if (io::Mkdir(path.c_str(), ZelPlatformInfo::NewFolderMode()) != 0 && errno != EEXIST) {
    error = ErrnoMessage("cannot create '" + path + "'");
    return nullptr;
  }
  const int fd = io::Open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) {
    error = ErrnoMessage("cannot open '" + path + "'");
    return nullptr;
  }
  return std::unique_ptr<PackFolder>(new PackFolder(fd, path));
}

PackFolder::~PackFolder() { close(fd_); }

std::string PackFolder::PathOf(uint32_t afileId, uint32_t generation) const {
  return path_ + "/" + PackFileName(afileId, generation);
}

int PackFolder::Create(uint32_t afileId, uint32_t generation, std::string& error) const {
  const std::string name = PackFileName(afileId, generation);
  FdGuard fd(io::OpenAt(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                        ZelPlatformInfo::NewFileMode()));
  if (fd.Get() < 0) {
    error = ErrnoMessage("cannot create pack file '" + PathOf(afileId, generation) + "'");
    return -1;
  }
  unsigned char header[kPackHeaderSize];
  PackHeader values;
  values.afileId = afileId;
  values.generation = generation;
  EncodePackHeader(values, header);
  if (WriteFully(fd.Get(), header, sizeof(header), 0) != 0 || io::Fdatasync(fd.Get()) != 0) {
    error = ErrnoMessage("cannot write pack file '" + PathOf(afileId, generation) + "'");
  } else if (Sync(error) == 0) {
    return fd.Release();
  }
  // Nothing names it yet; a failure to remove it leaves it to garbage collection.
  io::UnlinkAt(fd_, name.c_str(), 0);
  return -1;
}

int PackFolder::OpenForReading(uint32_t afileId, uint32_t generation, std::string& error,
                               bool& missing) const {
  const std::string path = PathOf(afileId, generation);
  FdGuard fd(io::OpenAt(fd_, PackFileName(afileId, generation).c_str(), O_RDONLY | O_NOFOLLOW));
  missing = fd.Get() < 0 && errno == ENOENT;
  if (fd.Get() < 0) {
    error = ErrnoMessage("cannot open pack file '" + path + "'");
    return -1;
  }
  unsigned char header[kPackHeaderSize];
  const ssize_t got = ReadFully(fd.Get(), header, sizeof(header), 0);
  if (got < 0) {
    error = ErrnoMessage("cannot read pack file '" + path + "'");
    return -1;
  }
  PackHeader values;
  std::string problem = static_cast<size_t>(got) < sizeof(header)
                            ? "it is too short to be a pack file"
                            : DecodePackHeader(header, values);
  if (problem.empty() && (values.afileId != afileId || values.generation != generation))
    problem = "it holds another archive file";
  if (!problem.empty()) {
    error = "pack file '" + path + "': " + problem;
    return -1;
  }
  return fd.Release();
}

int PackFolder::Cut(uint32_t afileId, uint32_t generation, uint64_t length,
                    std::string& error) const {
  FdGuard fd(io::OpenAt(fd_, PackFileName(afileId, generation).c_str(), O_WRONLY | O_NOFOLLOW));
  if (fd.Get() < 0 || io::Ftruncate(fd.Get(), static_cast<off_t>(length)) != 0 ||
      io::Fsync(fd.Get()) != 0) {
    error = ErrnoMessage("cannot cut pack file '" + PathOf(afileId, generation) + "'");
    return -1;
  }
  return 0;
}

uint64_t PackFolder::Size(const std::string& name) const {
  struct stat info {};
  if (fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  return static_cast<uint64_t>(info.st_size);
}

int PackFolder::Remove(const std::string& name, std::string& error) const {
  if (io::UnlinkAt(fd_, name.c_str(), 0) == 0 || errno == ENOENT) return 0;
  error = ErrnoMessage("cannot remove '" + path_ + "/" + name + "'");
  return -1;
}

int PackFolder::Sync(std::string& error) const {
  if (io::Fsync(fd_) == 0) return 0;
  error = ErrnoMessage("cannot sync '" + path_ + "'");
  return -1;
}

int PackFolder::List(std::vector<std::string>& names, std::string& error) const {
  const int listFd = io::OpenAt(fd_, ".", O_RDONLY | O_DIRECTORY);
  DIR* dir = listFd < 0 ? nullptr : fdopendir(listFd);
  if (dir == nullptr) {
    error = ErrnoMessage("cannot list '" + path_ + "'");
    if (listFd >= 0) close(listFd);
    return -1;
  }
  names.clear();
  errno = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names.push_back(entry->d_name);
  }
  const int listError = errno;
  closedir(dir);
  if (listError == 0) return 0;
  errno = listError;
  error = ErrnoMessage("cannot list '" + path_ + "'");
  return -1;
}

}  // namespace cldb
