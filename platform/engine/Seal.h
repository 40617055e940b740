// The seal and the claims: what makes a table file trusted, and which
// table object of this process holds which file.
//
// The seal "<base>.idx" says that the data file is as the last clean end of
// a session left it. It names the file by identity -- device, inode, length,
// modification and change times -- and fingerprints the pages every tree
// hangs from (both meta pages and the main database's root). Any write to
// the file after the seal moves its change time, which no program can set
// back, so checking the seal costs one fstat and three page reads whatever
// the file's size. A session that may change the file removes the seal,
// durably, before LMDB reads a page, and writes it anew at its clean end.
// docs/format.md gives the text and what the seal does not cover (damage
// at rest, which the engine catches where it reads).
//
// Seals of the first format (length and CRC-64 of the whole file) are
// still checked, by reading the whole file; such a table is then rewritten
// in the present format by its first session that may change it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>

#include "platform/engine/EngineLog.h"
#include "platform/engine/Schema.h"

namespace cldb {

// The message when the file at the table's path is not the one verified.
inline constexpr char kChangedWhileOpening[] = "table file changed while it was being opened";

// A file by device and inode.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  static FileId Of(const struct stat& st) { return FileId{st.st_dev, st.st_ino}; }
  bool operator==(const FileId& o) const { return dev == o.dev && ino == o.ino; }
  bool operator<(const FileId& o) const {
    return std::make_pair(dev, ino) < std::make_pair(o.dev, o.ino);
  }
};

// Same device, inode and length.
bool SameFile(const struct stat& a, const struct stat& b);

// Files that a table object of this process has in use, by device and inode.
// Within a process a file is used by one table object at a time: two LMDB
// environments on one file in one process would not see each other.
class FileClaim {
 public:
  FileClaim() = default;
  FileClaim(const FileClaim&) = delete;
  FileClaim& operator=(const FileClaim&) = delete;
  ~FileClaim() { Release(); }

  // 0, or TCT_BUSY when another table object holds `file`.
  int Acquire(const FileId& file);
  void Release();

 private:
  bool held_ = false;
  FileId id_;
};

// How a seal vouched for its file.
enum class Vouch {
  kIdentity,  // the present format: identity and head pages
  kContent,   // the first format: the whole file's length and CRC-64 (read to check)
};

class TableSeal {
 public:
  // `baseName` names the seal, `log.dataFile()` the file it vouches for,
  // `schema` the table's declaration; all must outlive the seal object.
  TableSeal(EngineLog& log, const std::string& baseName, const TableSchema& schema)
      : log_(log), baseName_(baseName), schema_(schema) {}

  // 0 when the seal vouches for the data file open as `fd` with status
  // `st` (*vouch says how); TCT_CORRUPT (logged) when it does not; TCT_IO.
  // TCT_SCHEMA_MISMATCH (not logged) when it vouches for a table of another
  // schema than the declared one (the present format's seal names the
  // schema's CRC-64, so that this is known before anything is read).
  int Check(int fd, const struct stat& st, Vouch* vouch, const char* name);
  // Seals the file open as `fd`, which LMDB no longer has open and which
  // must still stand at the data file's path: sync, fingerprint, write
  // "<base>.idx.tmp", sync, rename, sync the folder. TCT_CORRUPT (logged,
  // no seal written) when another file stands at the path; TCT_IO.
  int Write(int fd, const char* name);
  // Before anything may change the file. `durable`: the folder is synced,
  // so that no crash can bring the seal back once a write reached the file
  // (a write the crash loses would leave the file's times behind too).
  // 0 or TCT_IO (logged).
  int Remove(bool durable, const char* name);
  // Seals the table file `copy` (open as `copyFd`), a byte-for-byte copy of
  // the data file that this seal vouches for: the original is checked, the
  // two compared, the original checked again (unchanged all along), then
  // "<copyBase>.idx" written for the copy. 0, TCT_CORRUPT (logged) or TCT_IO.
  int SealCopy(int copyFd, const std::string& copyBase, const char* name);

 private:
  struct Content;
  std::string Path() const { return baseName_ + ".idx"; }
  uint64_t SchemaCrc() const;
  int Read(Content* seal, const char* name);
  int CheckContent(int fd, const struct stat& st, const Content& seal, const char* name);
  int Describe(int fd, Content* seal, const char* name);
  int Settle(int fd, Content* seal, const char* name);
  int Publish(const std::string& path, const Content& seal, const char* name);
  int SyncFolder(const std::string& path, const char* name);

  EngineLog& log_;
  const std::string& baseName_;
  const TableSchema& schema_;
};

}  // namespace cldb
