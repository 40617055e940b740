// An LMDB 0.9 file read with pread, never through LMDB's map: its meta
// pages and its pages by number, following the page layout of LMDB 0.9's
// source (which its public header does not show), for this machine's word
// size. The engine reads a file so where LMDB would trust what it reads: to
// fingerprint the pages every tree hangs from (the seal) and to check the
// pages past a file's end (FreePages.h). Every read goes through the
// engine's file door (platform/FileIo.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cldb {
namespace lmdb_layout {

using Pgno = size_t;
constexpr Pgno kNoPage = ~Pgno{0};
constexpr unsigned kPageHeader = 16;  // page number, pad, flags, lower and upper (or page count)
constexpr unsigned kNodeHeader = 8;   // two halves of a size or page number, flags, key size
constexpr uint16_t kBranchPage = 0x01, kLeafPage = 0x02, kOverflowPage = 0x04, kMetaPage = 0x08;
constexpr uint16_t kBigData = 0x01;  // leaf node whose data is on overflow pages
constexpr int kFreeDb = 0, kMainDb = 1;

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

}  // namespace lmdb_layout

// One LMDB file behind a descriptor. Each call returns 0, an errno for a
// failed read, or -1 with the reason in *reason for a file that is not
// LMDB's or not whole.
class RawLmdbFile {
 public:
  RawLmdbFile(int fd, uint64_t fileBytes, std::string* reason)
      : fd_(fd), fileBytes_(fileBytes), reason_(reason) {}

  // Reads both meta pages; newest() is then the one LMDB opens with (the
  // greater transaction id) and pageSize() the file's page size.
  int ReadMetas();
  const lmdb_layout::Meta& newest() const { return metas_[newest_]; }
  size_t pageSize() const { return pageSize_; }
  uint64_t filePages() const { return fileBytes_ / pageSize_; }

  // Page `pgno`, which must lie inside the file and be of `kind` (any kind
  // for 0).
  int ReadPage(lmdb_layout::Pgno pgno, uint16_t kind, std::vector<unsigned char>* page);
  int ReadAt(uint64_t offset, size_t length, unsigned char* out);
  // Sets the reason; -1.
  int Fail(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // CRC-64 of the pages every tree hangs from: both meta pages and the
  // root page of the main database (the records of the named databases,
  // with their roots). After ReadMetas.
  int HeadCrc(uint64_t* crc);

 private:
  int fd_;
  uint64_t fileBytes_;
  std::string* reason_;
  size_t pageSize_ = 0;
  lmdb_layout::Meta metas_[2] = {};
  std::vector<unsigned char> metaPages_;
  int newest_ = 0;
};

}  // namespace cldb
