#include "storage/JobTree.h"

#include "storage/PackFormat.h"

namespace cldb {
namespace {

const char kInsertEntry[] =
    "INSERT OR REPLACE INTO entries(job_id, path, kind, mode, mtime, size, data)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)";
const char kEntryAt[] =
    "SELECT path, kind, mode, mtime, size, data FROM entries WHERE job_id = ?1 AND path = ?2";
const char kEntriesAfter[] =
    "SELECT path, kind, mode, mtime, size, data FROM entries WHERE job_id = ?1 AND path > ?2"
    " ORDER BY path LIMIT ?3";
const char kEntriesBetween[] =
    "SELECT path, kind, mode, mtime, size, data FROM entries WHERE job_id = ?1 AND path > ?2"
    " AND path < ?3 ORDER BY path LIMIT ?4";

Blob BlobOf(const std::string& bytes) { return {bytes.data(), bytes.size()}; }

TreeEntry EntryOf(const Query& row) {
  TreeEntry entry;
  entry.path = std::string(row.Bytes(0));
  entry.kind = static_cast<EntryKind>(row.Int(1));
  entry.mode = static_cast<uint32_t>(row.Int(2));
  entry.mtimeNs = row.Int(3);
  entry.size = static_cast<uint64_t>(row.Int(4));
  entry.data = std::string(row.Bytes(5));
  return entry;
}

// Appends the rows of `query` to `page`; 0, or -1 with the error recorded.
int Collect(Database& db, Query& query, std::vector<TreeEntry>& page) {
  int rc;
  while ((rc = query.Step()) == SQLITE_ROW) page.push_back(EntryOf(query));
  return rc == SQLITE_DONE ? 0 : db.FailSqlite();
}

}  // namespace

bool IsSafeEntryPath(std::string_view path) {
  if (path.empty()) return false;
  size_t start = 0;
  for (;;) {
    const size_t slash = path.find('/', start);
    const std::string_view part = path.substr(
        start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string_view::npos)
      return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

std::string CheckEntry(const TreeEntry& entry, uint32_t blockSize) {
  if (!IsSafeEntryPath(entry.path)) return "its path is not a safe relative path";
  switch (entry.kind) {
    case EntryKind::kFolder:
      return "";
    case EntryKind::kSymlink:
      return entry.data.empty() || entry.data.find('\0') != std::string::npos
                 ? "its link target is not valid"
                 : "";
    case EntryKind::kFile: {
      if (entry.data.size() % kDigestSize != 0 || blockSize == 0)
        return "its block list is damaged";
      const uint64_t blocks = (entry.size + blockSize - 1) / blockSize;
      return blocks == entry.Blocks() ? "" : "its block list does not match its size";
    }
  }
  return "it is of an unknown kind";
}

uint32_t BlockSize(const TreeEntry& file, size_t block, uint32_t blockSize) {
  const uint64_t start = static_cast<uint64_t>(block) * blockSize;
  return static_cast<uint32_t>(std::min<uint64_t>(blockSize, file.size - start));
}

int InsertEntries(Database& db, uint32_t jobId, const std::vector<TreeEntry>& entries) {
  for (const TreeEntry& entry : entries) {
    if (db.Run(kInsertEntry, jobId, BlobOf(entry.path), static_cast<int>(entry.kind), entry.mode,
               entry.mtimeNs, entry.size, BlobOf(entry.data)) != 0)
      return -1;
  }
  return 0;
}

int ReadEntries(Database& db, uint32_t jobId, const std::string& path, const std::string& after,
                size_t limit, std::vector<TreeEntry>& page) {
  auto lock = db.Lock();
  page.clear();
  if (path.empty()) {
    Query query(db.Statement(kEntriesAfter), jobId, BlobOf(after), limit);
    return Collect(db, query, page);
  }
  if (after.empty()) {
    Query query(db.Statement(kEntryAt), jobId, BlobOf(path));
    if (Collect(db, query, page) != 0) return -1;
  }
  // Below `path`: from "path/" up to "path0", '0' being the byte after '/'.
  const std::string first = after.empty() || after == path ? path + "/" : after;
  const std::string end = path + "0";
  Query query(db.Statement(kEntriesBetween), jobId, BlobOf(first), BlobOf(end),
              limit - page.size());
  return Collect(db, query, page);
}

}  // namespace cldb
