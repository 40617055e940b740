// PackFolder: the folder "<root>/packs" that holds the pack files
// (PackFormat.h), and every file operation on them.
//
// Each call that opens, writes, syncs, renames or removes a file goes
// through cldb::io, so tests can make the Nth of them fail. Pack files are
// opened relative to the folder, never through a symbolic link, and made
// private (0600). Creating a pack writes its header and syncs it and the
// folder, so a pack the storage database names is never missing after a
// crash. Thread-safe: the object only holds the folder's descriptor.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cldb {

class PackFolder {
 public:
  static constexpr const char* kFolderName = "packs";

  // Opens "<root>/packs", making it (private) when missing. nullptr with
  // `error` set when it cannot be made or opened.
  static std::unique_ptr<PackFolder> Open(const std::string& root, std::string& error);
  ~PackFolder();
  PackFolder(const PackFolder&) = delete;
  PackFolder& operator=(const PackFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string PathOf(uint32_t afileId, uint32_t generation) const;

  // Creates the pack of (afileId, generation), which must not exist, with
  // its header written and synced: a descriptor open for writing, or -1
  // with `error` set.
  int Create(uint32_t afileId, uint32_t generation, std::string& error) const;
  // Opens an existing pack and checks its header: a read-only descriptor, or
  // -1 with `error` set (`missing` true when there is no such file).
  int OpenForReading(uint32_t afileId, uint32_t generation, std::string& error,
                     bool& missing) const;
  // Cuts an existing pack to `length` bytes and syncs it. 0, or -1 with
  // `error` set.
  int Cut(uint32_t afileId, uint32_t generation, uint64_t length, std::string& error) const;
  // The size of the entry `name`; 0 when there is none.
  uint64_t Size(const std::string& name) const;
  // Removes a pack; one already gone is no error. 0 or -1 with `error` set.
  int Remove(const std::string& name, std::string& error) const;
  // Syncs the folder, so that creations, renames and removals persist.
  int Sync(std::string& error) const;
  // The names of the entries in the folder.
  int List(std::vector<std::string>& names, std::string& error) const;

 private:
  PackFolder(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

  int fd_;
  std::string path_;
};

// Writes all `length` bytes at `offset` (retrying short writes): 0, or -1
// with errno set.
int WriteFully(int fd, const void* data, size_t length, off_t offset);
// Reads up to `length` bytes at `offset`, short only at end of file: the
// count, or -1 with errno set.
ssize_t ReadFully(int fd, void* data, size_t length, off_t offset);
// "<what>: <strerror(errno)>".
std::string ErrnoMessage(const std::string& what);

}  // namespace cldb
