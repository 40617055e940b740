#include "platform/engine/LmdbLayout.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "platform/CTkCRC64.h"
#include "platform/FileIo.h"

namespace cldb {

using namespace lmdb_layout;

namespace {

constexpr uint32_t kMagic = 0xBEEFC0DE, kDataVersion = 1;
constexpr size_t kMinPageSize = 512, kMaxPageSize = 65536;

template <typename T>
T Load(const unsigned char* at) {
  T value;
  memcpy(&value, at, sizeof(value));
  return value;
}

bool IsMetaPage(const unsigned char* page, const Meta& meta, size_t pageSize) {
  return (Load<uint16_t>(page + 10) & kMetaPage) && meta.magic == kMagic &&
         meta.version == kDataVersion && meta.dbs[kFreeDb].pad == pageSize;
}

}  // namespace

int RawLmdbFile::Fail(const char* format, ...) {
  char text[160];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  *reason_ = text;
  return -1;
}

int RawLmdbFile::ReadAt(uint64_t offset, size_t length, unsigned char* out) {
  for (size_t done = 0; done < length;) {
    const ssize_t got =
        io::PRead(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return Fail("it ends inside a page it needs");
    done += static_cast<size_t>(got);
  }
  return 0;
}

int RawLmdbFile::ReadMetas() {
  unsigned char head[kPageHeader + sizeof(Meta)];
  if (fileBytes_ < sizeof(head)) return Fail("it is too short to be LMDB's");
  if (int rc = ReadAt(0, sizeof(head), head)) return rc;
  const Meta first = Load<Meta>(head + kPageHeader);
  pageSize_ = first.dbs[kFreeDb].pad;
  if (pageSize_ < kMinPageSize || pageSize_ > kMaxPageSize || (pageSize_ & (pageSize_ - 1)) ||
      fileBytes_ < 2 * pageSize_)
    return Fail("meta page 0 is not LMDB's");
  metaPages_.resize(2 * pageSize_);
  if (int rc = ReadAt(0, metaPages_.size(), metaPages_.data())) return rc;
  for (int i = 0; i < 2; ++i) {
    const unsigned char* page = metaPages_.data() + i * pageSize_;
    metas_[i] = Load<Meta>(page + kPageHeader);
    if (!IsMetaPage(page, metas_[i], pageSize_)) return Fail("meta page %d is not LMDB's", i);
  }
  newest_ = metas_[0].txnid < metas_[1].txnid ? 1 : 0;
  return 0;
}

int RawLmdbFile::ReadPage(Pgno pgno, uint16_t kind, std::vector<unsigned char>* page) {
  if (pgno >= filePages()) return Fail("page %zu lies past its end", pgno);
  page->resize(pageSize_);
  if (int rc = ReadAt(uint64_t{pgno} * pageSize_, pageSize_, page->data())) return rc;
  if (Load<Pgno>(page->data()) != pgno || (kind && !(Load<uint16_t>(page->data() + 10) & kind)))
    return Fail("page %zu is not what its tree takes it for", pgno);
  return 0;
}

int RawLmdbFile::HeadCrc(uint64_t* crc) {
  CTkCRC64 sum;
  sum.UpdateCRC64(metaPages_.data(), static_cast<unsigned>(metaPages_.size()));
  const Pgno root = newest().dbs[kMainDb].root;
  if (root != kNoPage) {
    std::vector<unsigned char> page;
    if (int rc = ReadPage(root, kBranchPage | kLeafPage, &page)) return rc;
    sum.UpdateCRC64(page.data(), static_cast<unsigned>(page.size()));
  }
  *crc = sum.GetCRC64();
  return 0;
}

}  // namespace cldb
