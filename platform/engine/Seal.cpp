#include "platform/engine/Seal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <lmdb.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <vector>

#include "platform/CTkCRC64.h"
#include "platform/FileIo.h"
#include "platform/ZelPlatformInfo.h"
#include "platform/engine/LmdbLayout.h"

namespace cldb {
namespace {

const char kSealMagic[] = "TCtreeTable seal";
constexpr int kSealVersion = 2;
constexpr int kFirstSealVersion = 1;  // length and CRC-64 of the whole file
constexpr size_t kSealMaxBytes = 4096;
constexpr size_t kReadChunk = size_t{1} << 20;
constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
// The longest wait for the clock to pass a file's change time (see Write).
constexpr int kMaxTickWaitMs = 200;

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

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool After(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// Length and CRC-64 of the whole file behind `fd`. 0 or an errno.
int Fingerprint(int fd, unsigned long long* size, unsigned long long* crc) {
  std::vector<unsigned char> buffer(kReadChunk);
  CTkCRC64 sum;
  unsigned long long total = 0;
  for (;;) {
    const ssize_t got = io::PRead(fd, buffer.data(), buffer.size(), static_cast<off_t>(total));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) break;
    sum.UpdateCRC64(buffer.data(), static_cast<unsigned>(got));
    total += static_cast<unsigned long long>(got);
  }
  *size = total;
  *crc = sum.GetCRC64();
  return 0;
}

// Whether the files behind `a` and `b` hold the same bytes. 0, an errno, or
// -1 when they differ.
int CompareFiles(int a, int b) {
  std::vector<unsigned char> left(kReadChunk), right(kReadChunk);
  for (off_t at = 0;;) {
    const ssize_t got = io::PRead(a, left.data(), left.size(), at);
    const ssize_t other = got < 0 ? 0 : io::PRead(b, right.data(), right.size(), at);
    if (got < 0 || other < 0) return errno;
    if (got != other || memcmp(left.data(), right.data(), static_cast<size_t>(got)) != 0) return -1;
    if (got == 0) return 0;
    at += got;
  }
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

// What a seal says. Of the first format only `size` and `crc` are kept.
struct TableSeal::Content {
  int version = kSealVersion;
  std::string machine;
  unsigned long long dev = 0, ino = 0, size = 0;
  struct timespec mtime = {}, ctime = {};
  unsigned long long schema = 0;  // CRC-64 of the schema text the file stores
  unsigned long long crc = 0;     // of the head pages; of the whole file in the first format

  void Identify(const struct stat& st) {
    dev = st.st_dev;
    ino = st.st_ino;
    size = static_cast<unsigned long long>(st.st_size);
    mtime = st.st_mtim;
    ctime = st.st_ctim;
  }
  bool Names(const struct stat& st) const {
    return dev == static_cast<unsigned long long>(st.st_dev) &&
           ino == static_cast<unsigned long long>(st.st_ino) &&
           size == static_cast<unsigned long long>(st.st_size) && SameTime(mtime, st.st_mtim) &&
           SameTime(ctime, st.st_ctim);
  }
  std::string Text() const {
    char text[512];
    if (version == kFirstSealVersion) {
      snprintf(text, sizeof(text), "%s %d\nmachine %s\nsize %llu\ncrc64 %016llx\n", kSealMagic,
               version, machine.c_str(), size, crc);
    } else {
      snprintf(text, sizeof(text),
               "%s %d\nmachine %s\nschema crc64=%016llx\nfile dev=%llu ino=%llu size=%llu\n"
               "times mtime=%lld.%09ld ctime=%lld.%09ld\nhead crc64=%016llx\n",
               kSealMagic, version, machine.c_str(), schema, dev, ino, size,
               static_cast<long long>(mtime.tv_sec), mtime.tv_nsec,
               static_cast<long long>(ctime.tv_sec), ctime.tv_nsec, crc);
    }
    return text;
  }
  // Strict: accepts only what Text() writes.
  bool Parse(const std::string& text) {
    char found[128];
    long long ms = 0, cs = 0;
    if (sscanf(text.c_str(), "TCtreeTable seal %d\nmachine %127[^\n]\n", &version, found) != 2)
      return false;
    const char* rest = strstr(text.c_str(), "\nmachine ");
    rest = rest ? strchr(rest + 1, '\n') : nullptr;
    if (!rest) return false;
    bool parsed = false;
    if (version == kFirstSealVersion) {
      parsed = sscanf(rest, "\nsize %llu\ncrc64 %llx", &size, &crc) == 2;
    } else if (version == kSealVersion) {
      parsed =
          sscanf(rest,
                 "\nschema crc64=%llx\nfile dev=%llu ino=%llu size=%llu\n"
                 "times mtime=%lld.%ld ctime=%lld.%ld\nhead crc64=%llx",
                 &schema, &dev, &ino, &size, &ms, &mtime.tv_nsec, &cs, &ctime.tv_nsec, &crc) == 9;
      mtime.tv_sec = ms;
      ctime.tv_sec = cs;
    }
    machine = found;
    return parsed && Text() == text;
  }
};

bool SameFile(const struct stat& a, const struct stat& b) {
  return FileId::Of(a) == FileId::Of(b) && a.st_size == b.st_size;
}

// ---- claims ----------------------------------------------------------------------

int FileClaim::Acquire(const FileId& file) {
  std::lock_guard<std::mutex> lock(ClaimMutex());
  if (!Claimed().insert(file).second) return TCT_BUSY;
  id_ = file;
  held_ = true;
  return 0;
}

void FileClaim::Release() {
  if (!held_) return;
  std::lock_guard<std::mutex> lock(ClaimMutex());
  Claimed().erase(id_);
  held_ = false;
}

uint64_t TableSeal::SchemaCrc() const {
  const std::string text = schema_.Describe();
  return CTkCRC64::Compute(text.data(), static_cast<unsigned>(text.size()));
}

// ---- checking --------------------------------------------------------------------

int TableSeal::Read(Content* seal, const char* name) {
  const std::string path = Path();
  char reason[PATH_MAX + 96];
  const int fd = io::Open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
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
  } else if (S_ISREG(st.st_mode) && (got = io::Read(fd, &text[0], text.size())) < 0) {
    problem = strerror(errno);
  }
  if (fd >= 0) ::close(fd);
  if (got >= 0) text.resize(static_cast<size_t>(got));
  if (got >= 0 && text.size() <= kSealMaxBytes && seal->Parse(text)) return 0;
  snprintf(reason, sizeof(reason), "its seal %s is unreadable (%s)", path.c_str(), problem);
  return log_.Untrusted(name, reason);
}

int TableSeal::Check(int fd, const struct stat& st, Vouch* vouch, const char* name) {
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
  *vouch = seal.version == kFirstSealVersion ? Vouch::kContent : Vouch::kIdentity;
  if (*vouch == Vouch::kContent) return CheckContent(fd, st, seal, name);
  if (seal.schema != SchemaCrc()) return TCT_SCHEMA_MISMATCH;
  if (!seal.Names(st))
    return log_.Untrusted(name, "table file does not match its seal: changed since it was sealed");
  Content now;
  if (int rc = Describe(fd, &now, name)) return rc;
  if (now.crc != seal.crc)
    return log_.Untrusted(name, "table file does not match its seal: its head pages differ");
  return 0;
}

// The first format: the whole file is read, through the descriptor whose
// identity was taken, and must not change meanwhile.
int TableSeal::CheckContent(int fd, const struct stat& st, const Content& seal, const char* name) {
  unsigned long long size = 0, crc = 0;
  int error = Fingerprint(fd, &size, &crc);
  struct stat after;
  if (!error && fstat(fd, &after) != 0) error = errno;
  if (error) return log_.Report(name, log_.Io(error));
  if (size != seal.size || !SameFile(after, st) || !SameTime(after.st_ctim, st.st_ctim))
    return log_.Untrusted(name, kChangedWhileOpening);
  if (crc == seal.crc) return 0;
  char reason[128];
  snprintf(reason, sizeof(reason),
           "table file does not match its seal: CRC-64 %016llx, sealed %016llx", crc, seal.crc);
  return log_.Untrusted(name, reason);
}

// The seal the file open as `fd` deserves now (present format).
int TableSeal::Describe(int fd, Content* seal, const char* name) {
  struct stat st;
  if (fstat(fd, &st) != 0) return log_.Report(name, log_.Io(errno));
  seal->machine = ThisMachine();
  seal->schema = SchemaCrc();
  seal->Identify(st);
  std::string why;
  RawLmdbFile file(fd, static_cast<uint64_t>(st.st_size), &why);
  uint64_t crc = 0;
  int rc = file.ReadMetas();
  if (!rc) rc = file.HeadCrc(&crc);
  seal->crc = crc;
  if (rc > 0) return log_.Report(name, log_.Io(rc));
  return rc < 0 ? log_.Corrupt(name, why.c_str()) : 0;
}

// ---- writing ---------------------------------------------------------------------

int TableSeal::Write(int fd, const char* name) {
  struct stat st, atPath;
  if (fstat(fd, &st) != 0) return log_.Report(name, log_.Io(errno));
  if (lstat(log_.dataFile().c_str(), &atPath) != 0 || !(FileId::Of(atPath) == FileId::Of(st))) {
    log_.owner().debug(-1, "%s: [ERROR] %s was replaced while the table was open; not sealed", name,
                       log_.dataFile().c_str());
    return TCT_CORRUPT;
  }
  Content seal;
  if (int rc = Settle(fd, &seal, name)) return rc;
  return Publish(Path(), seal, name);
}

// The file is synced (times included: fdatasync would leave them behind),
// and the seal waits until the clock has passed the file's change time, so
// that a write after the seal, even in the same clock tick, moves it.
int TableSeal::Settle(int fd, Content* seal, const char* name) {
  struct stat st;
  if (io::Fsync(fd) != 0 || fstat(fd, &st) != 0) return log_.Report(name, log_.Io(errno));
  struct timespec now;
  for (int waited = 0; waited < kMaxTickWaitMs; ++waited) {
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    if (After(now, st.st_ctim)) break;
    usleep(1000);
  }
  return Describe(fd, seal, name);
}

int TableSeal::Publish(const std::string& path, const Content& seal, const char* name) {
  const std::string temp = path + ".tmp", text = seal.Text();
  // A temp left by a crash of ours goes first; never followed if a link.
  if (io::Unlink(temp.c_str()) != 0 && errno != ENOENT) return log_.Report(name, log_.Io(errno));
  const int fd = io::Open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                          ZelPlatformInfo::NewFileMode());
  if (fd < 0) return log_.Report(name, log_.Io(errno));
  int error = 0;
  const ssize_t written = io::Write(fd, text.data(), text.size());
  if (written != static_cast<ssize_t>(text.size())) error = written < 0 ? errno : EIO;
  if (!error && io::Fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && !error) error = errno;
  if (!error && io::Rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error) {
    io::Unlink(temp.c_str());
    return log_.Report(name, log_.Io(error));
  }
  return SyncFolder(path, name);
}

int TableSeal::Remove(bool durable, const char* name) {
  if (io::Unlink(Path().c_str()) != 0 && errno != ENOENT) return log_.Report(name, log_.Io(errno));
  return durable ? SyncFolder(Path(), name) : 0;
}

int TableSeal::SyncFolder(const std::string& path, const char* name) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = io::Open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  const int rc = fd < 0 || io::Fsync(fd) != 0 ? log_.Io(errno) : 0;
  if (fd >= 0) ::close(fd);
  return log_.Report(name, rc);
}

// ---- copies ----------------------------------------------------------------------

int TableSeal::SealCopy(int copyFd, const std::string& copyBase, const char* name) {
  const int fd = io::Open(log_.dataFile().c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return log_.Report(name, log_.Io(errno));
  struct stat before, after;
  Vouch vouch = Vouch::kIdentity;
  Content original, again;
  int rc = fstat(fd, &before) != 0 ? log_.Report(name, log_.Io(errno)) : 0;
  if (!rc) rc = Check(fd, before, &vouch, name);
  if (!rc) rc = Read(&original, name);
  if (!rc) {
    const int same = CompareFiles(fd, copyFd);
    if (same > 0) rc = log_.Report(name, log_.Io(same));
    if (same < 0) rc = log_.Untrusted(name, "the copy differs from the table it was made from");
  }
  // Still sealed, and not written since: the copy holds what the seal vouched for.
  if (!rc && (fstat(fd, &after) != 0 || !SameFile(after, before) ||
              !SameTime(after.st_ctim, before.st_ctim) || Read(&again, name) != 0 ||
              again.Text() != original.Text()))
    rc = log_.Untrusted(name, "the table changed while it was being copied");
  ::close(fd);
  if (rc) return rc;
  Content copy = original;  // a seal of the first format vouches for the bytes, wherever they are
  if (vouch == Vouch::kIdentity && (rc = Settle(copyFd, &copy, name))) return rc;
  return Publish(copyBase + ".idx", copy, name);
}

}  // namespace cldb
