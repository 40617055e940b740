#include "platform/engine/FreePages.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace cldb {
namespace {

// ---- LMDB 0.9's layout (mdb.c), for this machine's word size ----------------
using Pgno = size_t;
constexpr Pgno kNoPage = ~Pgno{0};
constexpr unsigned kPageHeader = 16;  // page number, pad, flags, lower and upper (or page count)
constexpr unsigned kNodeHeader = 8;   // two halves of a size or page number, flags, key size
constexpr uint16_t kBranchPage = 0x01, kLeafPage = 0x02, kOverflowPage = 0x04, kMetaPage = 0x08;
constexpr uint16_t kBigData = 0x01;  // leaf node whose data is on overflow pages
constexpr uint32_t kMagic = 0xBEEFC0DE, kDataVersion = 1;
constexpr int kFreeDb = 0;
constexpr unsigned kMaxDepth = 64;

struct Db {
  uint32_t pad;  // the page size, in the free database's record of a meta page
  uint16_t flags, depth;
  Pgno branchPages, leafPages, overflowPages;
  size_t entries;
  Pgno root;
};

struct Meta {
  uint32_t magic, version;
  void* address;
  size_t mapSize;
  Db dbs[2];  // the free database, then the main one
  Pgno lastPage;
  size_t txnid;
};

struct Node {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint16_t lo, hi;
#else
  uint16_t hi, lo;
#endif
  uint16_t flags, keySize;
  size_t dataSize() const { return lo | size_t{hi} << 16; }
  // Of a branch node: the flags hold the top bits of a 64-bit page number.
  Pgno child() const { return lo | Pgno{hi} << 16 | (sizeof(Pgno) > 4 ? Pgno{flags} << 16 << 16 : 0); }
};

template <typename T>
T Load(const unsigned char* at) {
  T value;
  memcpy(&value, at, sizeof(value));
  return value;
}

// Reads the free list of one file by pread, refusing what would take it
// past the file's end or outside the tree the meta page describes.
class FreeListReader {
 public:
  FreeListReader(int fd, unsigned pageSize, uint64_t filePages, std::string* reason)
      : fd_(fd), pageSize_(pageSize), filePages_(filePages), reason_(reason) {}

  int ReadMeta(const MDB_envinfo& info, Meta* meta);
  // Collects into *free the free pages from filePages_ on.
  int Collect(const Db& db, std::vector<Pgno>* free);

 private:
  int Fail(const char* format, ...) __attribute__((format(printf, 2, 3)));
  int ReadAt(uint64_t offset, size_t length, unsigned char* out);
  int ReadPage(Pgno pgno, uint16_t kind, std::vector<unsigned char>* page);
  int Visit(Pgno pgno, unsigned level, std::vector<Pgno>* free);
  int TakeList(const std::vector<unsigned char>& page, size_t at, std::vector<Pgno>* free);
  void TakeIds(const unsigned char* ids, size_t bytes, std::vector<Pgno>* free);

  int fd_;
  size_t pageSize_;
  uint64_t filePages_;
  std::string* reason_;
  unsigned depth_ = 0;
  uint64_t pagesLeft_ = 0;  // tree pages the meta page counts, not yet visited
};

// Sets the reason; -1.
int FreeListReader::Fail(const char* format, ...) {
  char text[160];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  *reason_ = text;
  return -1;
}

int FreeListReader::ReadAt(uint64_t offset, size_t length, unsigned char* out) {
  for (size_t done = 0; done < length;) {
    const ssize_t got = pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      Fail("the free-page list cannot be read: %s", strerror(error));
      return error;
    }
    if (got == 0) return Fail("the free-page list ends past the end of the file");
    done += static_cast<size_t>(got);
  }
  return 0;
}

// LMDB reads the meta page with the greater transaction id; it must be the
// one LMDB reported.
int FreeListReader::ReadMeta(const MDB_envinfo& info, Meta* meta) {
  unsigned char bytes[kPageHeader + sizeof(Meta)];
  Meta metas[2]{};
  for (int i = 0; i < 2; ++i) {
    if (int rc = ReadAt(i * pageSize_, sizeof(bytes), bytes)) return rc;
    metas[i] = Load<Meta>(bytes + kPageHeader);
    if (!(Load<uint16_t>(bytes + 10) & kMetaPage) || metas[i].magic != kMagic ||
        metas[i].version != kDataVersion || metas[i].dbs[kFreeDb].pad != pageSize_)
      return Fail("meta page %d is not LMDB's", i);
  }
  *meta = metas[metas[0].txnid < metas[1].txnid ? 1 : 0];
  if (meta->txnid != info.me_last_txnid || meta->lastPage != info.me_last_pgno)
    return Fail("its meta pages changed while it was being opened");
  return 0;
}

int FreeListReader::ReadPage(Pgno pgno, uint16_t kind, std::vector<unsigned char>* page) {
  if (pgno >= filePages_) return Fail("page %zu of the free-page list lies past the end", pgno);
  page->resize(pageSize_);
  if (int rc = ReadAt(uint64_t{pgno} * pageSize_, pageSize_, page->data())) return rc;
  if (Load<Pgno>(page->data()) != pgno || !(Load<uint16_t>(page->data() + 10) & kind))
    return Fail("page %zu of the free-page list is not one", pgno);
  return 0;
}

int FreeListReader::Collect(const Db& db, std::vector<Pgno>* free) {
  if (db.root == kNoPage) return 0;
  if (db.depth == 0 || db.depth > kMaxDepth) return Fail("the free-page list has depth %d", db.depth);
  depth_ = db.depth;
  pagesLeft_ = uint64_t{db.branchPages} + db.leafPages;
  return Visit(db.root, 1, free);
}

// The walk visits no more pages than the meta page counts for the list, so
// a damaged tree that links a page twice ends, refused.
int FreeListReader::Visit(Pgno pgno, unsigned level, std::vector<Pgno>* free) {
  if (pagesLeft_ == 0) return Fail("the free-page list holds more pages than it counts");
  --pagesLeft_;
  const bool leaf = level == depth_;
  std::vector<unsigned char> page;
  if (int rc = ReadPage(pgno, leaf ? kLeafPage : kBranchPage, &page)) return rc;
  const uint16_t lower = Load<uint16_t>(page.data() + 12);
  if (lower < kPageHeader || lower > pageSize_) return Fail("free-list page %zu is damaged", pgno);
  for (unsigned i = 0; i < (lower - kPageHeader) / 2u; ++i) {
    const uint16_t at = Load<uint16_t>(page.data() + kPageHeader + 2 * i);
    if (at < lower || at + size_t{kNodeHeader} > pageSize_)
      return Fail("free-list page %zu is damaged", pgno);
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
  if (data + inPage > page.size()) return Fail("a free-list entry is damaged");
  if (!(node.flags & kBigData)) {
    TakeIds(page.data() + data, bytes, free);
    return 0;
  }
  const Pgno first = Load<Pgno>(page.data() + data);
  std::vector<unsigned char> head;
  if (int rc = ReadPage(first, kOverflowPage, &head)) return rc;
  const uint64_t pages = Load<uint32_t>(head.data() + 12);
  if (first + pages > filePages_ || bytes + kPageHeader > pages * pageSize_)
    return Fail("the free-page list's overflow at page %zu lies past the end", first);
  std::vector<unsigned char> ids(bytes);
  if (int rc = ReadAt(uint64_t{first} * pageSize_ + kPageHeader, bytes, ids.data())) return rc;
  TakeIds(ids.data(), bytes, free);
  return 0;
}

void FreeListReader::TakeIds(const unsigned char* ids, size_t bytes, std::vector<Pgno>* free) {
  const size_t count = bytes < sizeof(Pgno) ? 0 : Load<Pgno>(ids);
  for (size_t i = 1; i <= count && (i + 1) * sizeof(Pgno) <= bytes; ++i) {
    const Pgno id = Load<Pgno>(ids + i * sizeof(Pgno));
    if (id >= filePages_) free->push_back(id);
  }
}

}  // namespace

int CheckPagesPastEndAreFree(int fd, unsigned pageSize, uint64_t filePages,
                             const MDB_envinfo& info, std::string* reason) {
  FreeListReader reader(fd, pageSize, filePages, reason);
  Meta meta{};
  std::vector<Pgno> free;
  int rc = reader.ReadMeta(info, &meta);
  if (!rc) rc = reader.Collect(meta.dbs[kFreeDb], &free);
  if (rc) return rc;
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
