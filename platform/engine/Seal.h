// The seal and the claims: what makes a table file trusted, and which
// table object of this process holds which file.
//
// The seal "<base>.idx" vouches for the data file as the last clean close
// left it: its length and CRC-64, and the kind of machine that wrote it
// (docs/format.md gives the text). Open checks it before LMDB maps the
// file; a session that may change the file removes it first and writes it
// anew at its clean end.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <utility>

#include "platform/engine/EngineLog.h"

namespace cldb {

// The message when the file at the table's path is not the one verified.
inline constexpr char kChangedWhileOpening[] = "table file changed while it was being opened";

// A file by device and inode.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  static FileId Of(const struct stat& st) { return FileId{st.st_dev, st.st_ino}; }
  bool operator==(const FileId& o) const { return dev == o.dev && ino == o.ino; }
  bool operator<(const FileId& o) const { return std::make_pair(dev, ino) < std::make_pair(o.dev, o.ino); }
};

// Same device, inode and length.
bool SameFile(const struct stat& a, const struct stat& b);

// Files that a table object of this process has in use, by device and inode.
// LMDB's fcntl locks are per process: a second handle on the same file would
// silently drop the first one's locks when it closes.
class FileClaim {
 public:
  FileClaim() = default;
  FileClaim(const FileClaim&) = delete;
  FileClaim& operator=(const FileClaim&) = delete;
  ~FileClaim() { Release(); }

  // Claims the file at `path` (its status in *st): 0, TCT_NO_FILE, TCT_BUSY
  // or TCT_IO (errno in *error).
  int Acquire(const std::string& path, struct stat* st, int* error);
  void Release();
  const FileId& file() const { return id_; }  // while held

 private:
  bool held_ = false;
  FileId id_;
};

class TableSeal {
 public:
  // `baseName` names the seal, `log.dataFile()` the file it vouches for;
  // both must outlive the seal object.
  TableSeal(EngineLog& log, const std::string& baseName) : log_(log), baseName_(baseName) {}

  // 0 when the seal vouches for the data file, whose status (taken when it
  // was claimed) is `st`; TCT_CORRUPT (logged) when it does not; TCT_IO.
  int Check(const struct stat& st, const char* name);
  // Seals the data file, which must be `file` and is not open in LMDB any
  // more: fingerprint into "<base>.idx.tmp", sync, rename, sync the folder.
  // TCT_CORRUPT (logged, no seal written) when another file stands at the
  // path; TCT_IO.
  int Write(const FileId& file, const char* name);
  // Before the first change of a session. Should a crash lose the removal,
  // the file no longer matches the seal once anything reached it, so it is
  // refused all the same: no folder sync is needed. 0 or TCT_IO (not logged).
  int Remove();

 private:
  std::string Path() const { return baseName_ + ".idx"; }
  struct Content;
  int Read(Content* seal, const char* name);
  int SyncFolder(const char* name);

  EngineLog& log_;
  const std::string& baseName_;
};

}  // namespace cldb
