#include "platform/engine/Seal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <lmdb.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <vector>

#include "platform/CTkCRC64.h"
#include "platform/ZelPlatformInfo.h"

namespace cldb {
namespace {

const char kSealMagic[] = "TCtreeTable seal 1";
constexpr size_t kSealMaxBytes = 4096;
constexpr size_t kReadChunk = size_t{1} << 20;
constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// LMDB files keep the writer's word size and byte order, and only LMDB of
// the same major.minor reads them.
std::string ThisMachine() {
  int major = 0, minor = 0, patch = 0;
  mdb_version(&major, &minor, &patch);
  char text[96];
  snprintf(text, sizeof(text), "%zu-bit %s-endian, LMDB %d.%d", sizeof(size_t) * 8,
           kLittleEndian ? "little" : "big", major, minor);
  return text;
}

// Length and CRC-64 of the whole file behind `fd`. 0 or an errno.
int Fingerprint(int fd, unsigned long long* size, unsigned long long* crc) {
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::vector<unsigned char> buffer(kReadChunk);
  CTkCRC64 sum;
  unsigned long long total = 0;
  for (;;) {
    const ssize_t got = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(total));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) break;
    sum.UpdateCRC64(buffer.data(), static_cast<unsigned>(got));
    total += static_cast<unsigned long long>(got);
  }
  // The sequential read leaves the file in large page-cache folios, and every
  // page LMDB later commits into such a folio costs the kernel a walk of the
  // whole folio (commits measured 45% slower). Dropping the clean pages lets
  // LMDB's own faults bring the file back in its usual small units.
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  *size = total;
  *crc = sum.GetCRC64();
  return 0;
}

std::mutex& ClaimMutex() {
  static std::mutex mutex;
  return mutex;
}

std::set<FileId>& Claimed() {
  static std::set<FileId> claimed;
  return claimed;
}

}  // namespace

// What a clean close vouches for.
struct TableSeal::Content {
  std::string machine;
  unsigned long long size = 0;
  unsigned long long crc = 0;

  std::string Text() const {
    char text[256];
    snprintf(text, sizeof(text), "%s\nmachine %s\nsize %llu\ncrc64 %016llx\n", kSealMagic,
             machine.c_str(), size, crc);
    return text;
  }
  // Strict: accepts only what Text() writes.
  bool Parse(const std::string& text) {
    char found[128];
    if (sscanf(text.c_str(), "%*[^\n]\nmachine %127[^\n]\nsize %llu\ncrc64 %llx", found, &size,
               &crc) != 3)
      return false;
    machine = found;
    return Text() == text;
  }
};

bool SameFile(const struct stat& a, const struct stat& b) {
  return FileId::Of(a) == FileId::Of(b) && a.st_size == b.st_size;
}

// ---- claims ----------------------------------------------------------------------

int FileClaim::Acquire(const std::string& path, struct stat* st, int* error) {
  if (stat(path.c_str(), st) != 0) {
    *error = errno;
    return errno == ENOENT ? TCT_NO_FILE : TCT_IO;
  }
  std::lock_guard<std::mutex> lock(ClaimMutex());
  id_ = FileId::Of(*st);
  if (!Claimed().insert(id_).second) return TCT_BUSY;
  held_ = true;
  return 0;
}

void FileClaim::Release() {
  if (!held_) return;
  std::lock_guard<std::mutex> lock(ClaimMutex());
  Claimed().erase(id_);
  held_ = false;
}

// ---- the seal --------------------------------------------------------------------

int TableSeal::Read(Content* seal, const char* name) {
  const std::string path = Path();
  char reason[PATH_MAX + 96];
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    snprintf(reason, sizeof(reason), "table was not closed cleanly (no seal %s)", path.c_str());
    return log_.Untrusted(name, reason);
  }
  const char* problem = "not a seal";
  std::string text(kSealMaxBytes + 1, '\0');
  ssize_t got = -1;
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    problem = strerror(errno);
  } else if (S_ISREG(st.st_mode) && (got = read(fd, &text[0], text.size())) < 0) {
    problem = strerror(errno);
  }
  if (fd >= 0) ::close(fd);
  if (got >= 0) text.resize(static_cast<size_t>(got));
  if (got >= 0 && text.size() <= kSealMaxBytes && seal->Parse(text)) return 0;
  snprintf(reason, sizeof(reason), "its seal %s is unreadable (%s)", path.c_str(), problem);
  return log_.Untrusted(name, reason);
}

int TableSeal::Check(const struct stat& st, const char* name) {
  Content seal;
  if (int rc = Read(&seal, name)) return rc;
  char reason[256];
  if (seal.machine != ThisMachine()) {
    snprintf(reason, sizeof(reason), "table file was written by %s; this is %s",
             seal.machine.c_str(), ThisMachine().c_str());
    return log_.Untrusted(name, reason);
  }
  if (static_cast<unsigned long long>(st.st_size) != seal.size) {
    snprintf(reason, sizeof(reason), "table file does not match its seal: %llu bytes, sealed %llu",
             static_cast<unsigned long long>(st.st_size), seal.size);
    return log_.Untrusted(name, reason);
  }
  const int fd = ::open(log_.dataFile().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return log_.Report(name, log_.Io(errno));
  struct stat now;
  unsigned long long size = 0, crc = 0;
  int error = fstat(fd, &now) != 0 ? errno : 0;
  const bool same = error == 0 && SameFile(now, st);
  if (same) error = Fingerprint(fd, &size, &crc);
  ::close(fd);
  if (error) return log_.Report(name, log_.Io(error));
  if (!same || size != seal.size) return log_.Untrusted(name, kChangedWhileOpening);
  if (crc != seal.crc) {
    snprintf(reason, sizeof(reason),
             "table file does not match its seal: CRC-64 %016llx, sealed %016llx", crc, seal.crc);
    return log_.Untrusted(name, reason);
  }
  return 0;
}

int TableSeal::Remove() {
  return unlink(Path().c_str()) != 0 && errno != ENOENT ? log_.Io(errno) : 0;
}

int TableSeal::SyncFolder(const char* name) {
  const std::string& dataFile = log_.dataFile();
  const size_t slash = dataFile.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : dataFile.substr(0, slash + 1);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int rc = fd < 0 || fsync(fd) != 0 ? log_.Io(errno) : 0;
  if (fd >= 0) ::close(fd);
  return log_.Report(name, rc);
}

// The file is fingerprinted through the descriptor whose identity was
// checked, so the seal names the session's own file or nothing: should the
// folder have been made anew behind the session, another process's table
// (perhaps open, so unsealed) stands at the path, and a seal for it would
// vouch for a file no one closed.
int TableSeal::Write(const FileId& file, const char* name) {
  Content seal;
  seal.machine = ThisMachine();
  int fd = ::open(log_.dataFile().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return log_.Report(name, log_.Io(errno));
  struct stat st;
  int error = fstat(fd, &st) != 0 ? errno : 0;
  if (!error && !(FileId::Of(st) == file)) {
    ::close(fd);
    log_.owner().debug(-1, "%s: [ERROR] %s was replaced while the table was open; not sealed",
                       name, log_.dataFile().c_str());
    return TCT_CORRUPT;
  }
  if (!error) error = Fingerprint(fd, &seal.size, &seal.crc);
  ::close(fd);
  if (error) return log_.Report(name, log_.Io(error));
  const std::string path = Path(), temp = path + ".tmp", text = seal.Text();
  fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
              ZelPlatformInfo::NewFileMode());
  if (fd < 0) return log_.Report(name, log_.Io(errno));
  const ssize_t written = write(fd, text.data(), text.size());
  if (written != static_cast<ssize_t>(text.size())) error = written < 0 ? errno : EIO;
  if (!error && fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && !error) error = errno;
  if (!error && rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error) {
    unlink(temp.c_str());
    return log_.Report(name, log_.Io(error));
  }
  return SyncFolder(name);
}

}  // namespace cldb
