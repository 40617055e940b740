// Restorer: recreates entries of a job's tree under a target folder, byte
// for byte, with their permission bits and modification times; symbolic
// links as links, empty files and folders as they were.
//
// Nothing is ever written outside the target. Every path read from the
// store is checked first (cldb::CheckEntry): no "..", no absolute name, no
// NUL byte. Every folder on the way is opened relative to the one above it
// without following a symbolic link, and files are created new (O_EXCL,
// never through a link); with `overwrite` an existing file or link is
// removed first, a folder never. Without it, Check refuses a target where
// anything but a folder stands in the way, before anything is written.
//
// A file whose blocks cannot all be read back intact is not left behind:
// it is reported and removed, and the other files are restored. Folders get
// their modes and times last, deepest first, so a read-only folder is
// filled before it becomes read-only. Single-threaded.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "storage/BlockReader.h"
#include "storage/JobTree.h"
#include "storage/SqliteStorageBackend.h"

class Restorer {
 public:
  struct Counts {
    uint64_t files = 0;
    uint64_t folders = 0;
    uint64_t links = 0;
    uint64_t bytes = 0;
    uint64_t failed = 0;  // entries that could not be restored
  };
  // Receives one line about an entry that could not be restored.
  using Reporter = std::function<void(const std::string& message)>;

  // `targetFd` is the open target folder, `targetPath` its name in messages.
  Restorer(cldb::SqliteStorageBackend& storage, const cldb::SqliteStorageBackend::JobInfo& job,
           int targetFd, std::string targetPath, bool overwrite, Reporter reporter);
  ~Restorer();
  Restorer(const Restorer&) = delete;
  Restorer& operator=(const Restorer&) = delete;

  // "" when `entries` may be restored, else why not (the first entry in the
  // way, or one the store should not hold).
  std::string Check(const std::vector<cldb::TreeEntry>& entries) const;
  // Restores `entries`, given in path order; problems go to the reporter.
  void Restore(const std::vector<cldb::TreeEntry>& entries);
  // Applies the folders' modes and times; call once, after the last Restore.
  void Finish();
  const Counts& Done() const { return counts_; }

 private:
  struct Open {
    std::string path;
    int fd;
  };
  struct FolderTimes {
    std::string path;
    uint32_t mode;
    int64_t mtimeNs;
  };

  // The descriptor of folder `path` (relative to the target; "" for the
  // target itself), made when missing: -1 with `problem` set when it cannot
  // be opened or something else stands there.
  int Folder(const std::string& path, std::string& problem);
  // Makes room for `name` in `parent`: nothing there, or (overwriting) a
  // file or link removed. "" or why not.
  std::string Clear(int parent, const std::string& name) const;
  std::string RestoreFile(int parent, const std::string& name, const cldb::TreeEntry& file);
  std::string WriteBlocks(int fd, const cldb::TreeEntry& file);
  void RestoreEntry(const cldb::TreeEntry& entry);
  void Fail(const cldb::TreeEntry& entry, const std::string& problem);

  cldb::SqliteStorageBackend::JobInfo job_;
  const int targetFd_;
  const std::string targetPath_;
  const bool overwrite_;
  Reporter reporter_;
  cldb::BlockReader reader_;
  std::vector<Open> open_;  // the folders from the target down to the last one used
  std::vector<FolderTimes> folders_;
  Counts counts_;
};
