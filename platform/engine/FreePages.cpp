#include "platform/engine/FreePages.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "platform/engine/LmdbLayout.h"

namespace cldb {
namespace {

using namespace lmdb_layout;

constexpr unsigned kMaxDepth = 64;

struct Node {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint16_t lo, hi;
#else
  uint16_t hi, lo;
#endif
  uint16_t flags, keySize;
  size_t dataSize() const { return lo | size_t{hi} << 16; }
  // Of a branch node: the flags hold the top bits of a 64-bit page number.
  Pgno child() const {
    return lo | Pgno{hi} << 16 | (sizeof(Pgno) > 4 ? Pgno{flags} << 16 << 16 : 0);
  }
};

template <typename T>
T Load(const unsigned char* at) {
  T value;
  memcpy(&value, at, sizeof(value));
  return value;
}

// Reads the free list of one file, refusing what would take it past the
// file's end or outside the tree the meta page describes.
class FreeListReader {
 public:
  explicit FreeListReader(RawLmdbFile& file) : file_(file) {}

  // Collects into *free the free pages from the file's end on.
  int Collect(const Db& db, std::vector<Pgno>* free);

 private:
  int Visit(Pgno pgno, unsigned level, std::vector<Pgno>* free);
  int TakeList(const std::vector<unsigned char>& page, size_t at, std::vector<Pgno>* free);
  void TakeIds(const unsigned char* ids, size_t bytes, std::vector<Pgno>* free);

  RawLmdbFile& file_;
  unsigned depth_ = 0;
  uint64_t pagesLeft_ = 0;  // tree pages the meta page counts, not yet visited
};

int FreeListReader::Collect(const Db& db, std::vector<Pgno>* free) {
  if (db.root == kNoPage) return 0;
  if (db.depth == 0 || db.depth > kMaxDepth)
    return file_.Fail("the free-page list has depth %d", db.depth);
  depth_ = db.depth;
  pagesLeft_ = uint64_t{db.branchPages} + db.leafPages;
  return Visit(db.root, 1, free);
}

// The walk visits no more pages than the meta page counts for the list, so
// a damaged tree that links a page twice ends, refused.
int FreeListReader::Visit(Pgno pgno, unsigned level, std::vector<Pgno>* free) {
  if (pagesLeft_ == 0) return file_.Fail("the free-page list holds more pages than it counts");
  --pagesLeft_;
  const bool leaf = level == depth_;
  std::vector<unsigned char> page;
  if (int rc = file_.ReadPage(pgno, leaf ? kLeafPage : kBranchPage, &page)) return rc;
  const size_t pageSize = file_.pageSize();
  const uint16_t lower = Load<uint16_t>(page.data() + 12);
  if (lower < kPageHeader || lower > pageSize)
    return file_.Fail("free-list page %zu is damaged", pgno);
  for (unsigned i = 0; i < (lower - kPageHeader) / 2u; ++i) {
    const uint16_t at = Load<uint16_t>(page.data() + kPageHeader + 2 * i);
    if (at < lower || at + size_t{kNodeHeader} > pageSize)
      return file_.Fail("free-list page %zu is damaged", pgno);
    const int rc = leaf ? TakeList(page, at, free)
                        : Visit(Load<Node>(page.data() + at).child(), level + 1, free);
    if (rc) return rc;
  }
  return 0;
}

// A leaf node's data is a list of page ids (a count, then the ids), on the
// page itself or on overflow pages of its own.
int FreeListReader::TakeList(const std::vector<unsigned char>& page, size_t at,
                             std::vector<Pgno>* free) {
  const Node node = Load<Node>(page.data() + at);
  const size_t bytes = node.dataSize(), data = at + kNodeHeader + node.keySize;
  const size_t inPage = node.flags & kBigData ? sizeof(Pgno) : bytes;
  if (data + inPage > page.size()) return file_.Fail("a free-list entry is damaged");
  if (!(node.flags & kBigData)) {
    TakeIds(page.data() + data, bytes, free);
    return 0;
  }
  const Pgno first = Load<Pgno>(page.data() + data);
  std::vector<unsigned char> head;
  if (int rc = file_.ReadPage(first, kOverflowPage, &head)) return rc;
  const uint64_t pages = Load<uint32_t>(head.data() + 12);
  if (first + pages > file_.filePages() || bytes + kPageHeader > pages * file_.pageSize())
    return file_.Fail("the free-page list's overflow at page %zu lies past the end", first);
  std::vector<unsigned char> ids(bytes);
  if (int rc = file_.ReadAt(uint64_t{first} * file_.pageSize() + kPageHeader, bytes, ids.data()))
    return rc;
  TakeIds(ids.data(), bytes, free);
  return 0;
}

void FreeListReader::TakeIds(const unsigned char* ids, size_t bytes, std::vector<Pgno>* free) {
  const size_t count = bytes < sizeof(Pgno) ? 0 : Load<Pgno>(ids);
  for (size_t i = 1; i <= count && (i + 1) * sizeof(Pgno) <= bytes; ++i) {
    const Pgno id = Load<Pgno>(ids + i * sizeof(Pgno));
    if (id >= file_.filePages()) free->push_back(id);
  }
}

}  // namespace

int CheckPagesPastEndAreFree(int fd, unsigned pageSize, uint64_t filePages, const MDB_envinfo& info,
                             std::string* reason) {
  RawLmdbFile file(fd, filePages * pageSize, reason);
  int rc = file.ReadMetas();
  if (rc) return rc;
  const Meta& meta = file.newest();
  // LMDB opened with the meta page of the greater transaction id; it must be
  // the one read here.
  if (file.pageSize() != pageSize || meta.txnid != info.me_last_txnid ||
      meta.lastPage != info.me_last_pgno)
    return file.Fail("its meta pages changed while it was being opened");
  std::vector<Pgno> free;
  if ((rc = FreeListReader(file).Collect(meta.dbs[kFreeDb], &free))) return rc;
  std::sort(free.begin(), free.end());
  free.erase(std::unique(free.begin(), free.end()), free.end());
  // free holds distinct ids from filePages on; the first gap names a page
  // in use past the end.
  Pgno expected = filePages;
  for (Pgno id : free) {
    if (id != expected || id > meta.lastPage) break;
    ++expected;
  }
  if (expected > meta.lastPage) return 0;
  char text[96];
  snprintf(text, sizeof(text), "page %llu, past its end, is not free",
           static_cast<unsigned long long>(expected));
  *reason = text;
  return -1;
}

}  // namespace cldb
