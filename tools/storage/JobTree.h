// A job's tree as the storage side records it: every folder, regular file
// and symbolic link the job backed up, under its path relative to "/"
// ("usr/share/doc/x" for /usr/share/doc/x), the named paths' parent folders
// included. A file's entry lists its blocks by signature, in order; each
// block but the last has the job's block size.
//
// Paths are bytes, compared as bytes: the entries of a folder follow it, so
// a walk in path order meets every folder before what it holds. A path read
// back from a store is checked before anything is made from it
// (IsSafeEntryPath): a damaged or hostile store cannot name a place outside
// the folder a restore writes into.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "storage/Database.h"

namespace cldb {

enum class EntryKind : int { kFolder = 0, kFile = 1, kSymlink = 2 };

struct TreeEntry {
  std::string path;
  EntryKind kind = EntryKind::kFile;
  uint32_t mode = 0;    // permission bits (st_mode & 07777)
  int64_t mtimeNs = 0;  // modification time, nanoseconds since the epoch
  uint64_t size = 0;    // a file's bytes; 0 for the others
  std::string data;     // file: 64-byte signatures of its blocks; link: its target

  size_t Blocks() const { return data.size() / 64; }
  const unsigned char* Digest(size_t block) const {
    return reinterpret_cast<const unsigned char*>(data.data()) + 64 * block;
  }
};

// True for a relative path of non-empty components, none "." or "..", with
// no NUL byte.
bool IsSafeEntryPath(std::string_view path);
// "" when `entry`, read from a store of block size `blockSize`, is one a
// restore can make, else what is wrong with it.
std::string CheckEntry(const TreeEntry& entry, uint32_t blockSize);
// The size of block `block` of a file entry.
uint32_t BlockSize(const TreeEntry& file, size_t block, uint32_t blockSize);

// With the database locked, inside a write transaction: records the entries
// (a later entry of a path replaces an earlier one).
int InsertEntries(Database& db, uint32_t jobId, const std::vector<TreeEntry>& entries);

// A page of a job's entries at or below `path` ("" for all), in path order,
// after `after` (the last path of the previous page, "" at the start): at
// most `limit`. Locks the database itself.
int ReadEntries(Database& db, uint32_t jobId, const std::string& path, const std::string& after,
                size_t limit, std::vector<TreeEntry>& page);

}  // namespace cldb
