#include "storage/JobWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/FileIo.h"

namespace cldb {
namespace {

// Below this a batch is compressed on the job's thread alone.
const size_t kParallelBytes = 1 << 20;

// A batch is written this many bytes at a time, each part handed to the
// disk as soon as it is in the page cache, so the fdatasync that makes the
// batch durable waits for the last part rather than for the whole batch.
const size_t kWritebackBytes = 4 << 20;

const char kSetBlockSize[] =
    "UPDATE jobs SET block_size = ?2 WHERE job_id = ?1 AND block_size != ?2";
const char kInsertStored[] =
    "INSERT OR IGNORE INTO stored(digest, size, afile_id, offset, length)"
    " VALUES (?1, ?2, ?3, ?4, ?5)";
const char kAddToAFile[] =
    "UPDATE afiles SET blocks = blocks + ?2, bytes = bytes + ?3, pack_end = ?4"
    " WHERE afile_id = ?1 AND live = 1";
const char kHeldOnCopy[] =
    "SELECT 1 FROM stored s JOIN afiles a ON a.afile_id = s.afile_id"
    " WHERE s.digest = ?1 AND s.size = ?2 AND a.copy_id = ?3 LIMIT 1";
const char kInsertRef[] = "INSERT OR IGNORE INTO refs(digest, size, afile_id) VALUES (?1, ?2, ?3)";

Blob DigestOf(const JobWriter::Block& block) { return {block.digest, kDigestSize}; }

}  // namespace

JobWriter::JobWriter(cldb::SqliteStorageBackend& storage, uint32_t jobId, uint32_t copyId,
                     uint32_t blockSize, unsigned threads)
    : storage_(storage),
      jobId_(jobId),
      copyId_(copyId),
      blockSize_(blockSize),
      threads_(std::max(1u, threads)) {
  for (unsigned i = 0; i < threads_; ++i) compressors_.push_back(std::make_unique<Compressor>());
}

JobWriter::~JobWriter() {
  if (packFd_ >= 0) close(packFd_);
}

void JobWriter::UseArchiveFile(uint32_t afileId) {
  if (packFd_ >= 0) close(packFd_);
  packFd_ = -1;
  packEnd_ = 0;
  afile_ = afileId;
}

int JobWriter::StoreBatch(const std::vector<Block>& stored, const std::vector<Block>& referenced,
                          const std::vector<TreeEntry>& entries, std::vector<size_t>& unresolved) {
  unresolved.clear();
  std::vector<Placed> placed;
  if (!stored.empty()) {
    if (OpenPack() != 0) return -1;
    const size_t length = Encode(stored, placed);
    if (Write(length) != 0) return -1;
  }
  return Record(stored, placed, referenced, entries, unresolved);
}

size_t JobWriter::Encode(const std::vector<Block>& blocks, std::vector<Placed>& placed) {
  // Room for every record at its largest (a raw block), in order.
  std::vector<size_t> slots(blocks.size() + 1, 0);
  for (size_t i = 0; i < blocks.size(); ++i)
    slots[i + 1] = slots[i] + kRecordHeaderSize + blocks[i].size;
  if (buffer_.size() < slots.back()) buffer_.resize(slots.back());
  std::vector<size_t> lengths(blocks.size());
  auto encodeRange = [&](unsigned worker, size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i)
      lengths[i] = compressors_[worker]->EncodeRecord(blocks[i].digest, blocks[i].data,
                                                      blocks[i].size, buffer_.data() + slots[i]);
  };
  const unsigned workers = slots.back() < kParallelBytes
                               ? 1u
                               : static_cast<unsigned>(std::min<size_t>(threads_, blocks.size()));
  // Ranges of about equal bytes; the last runs on this thread.
  std::vector<std::thread> helpers;
  for (unsigned worker = 0; worker < workers; ++worker) {
    auto boundary = [&](unsigned w) -> size_t {
      if (w == workers) return blocks.size();
      return static_cast<size_t>(
          std::lower_bound(slots.begin(), slots.end() - 1, slots.back() / workers * w) -
          slots.begin());
    };
    if (worker + 1 == workers)
      encodeRange(worker, boundary(worker), boundary(worker + 1));
    else
      helpers.emplace_back(encodeRange, worker, boundary(worker), boundary(worker + 1));
  }
  for (std::thread& helper : helpers) helper.join();
  // Close the gaps the compressed records left.
  placed.resize(blocks.size());
  size_t at = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (at != slots[i]) std::memmove(buffer_.data() + at, buffer_.data() + slots[i], lengths[i]);
    placed[i] = {packEnd_ + at, static_cast<uint32_t>(lengths[i])};
    at += lengths[i];
  }
  return at;
}

int JobWriter::OpenPack() {
  if (packFd_ >= 0) return 0;
  packFd_ = storage_.Packs().Create(afile_, 0, error_);
  if (packFd_ < 0) return -1;
  packEnd_ = kPackHeaderSize;
  bytesWritten_ += kPackHeaderSize;
  return 0;
}

int JobWriter::Write(size_t length) {
  for (size_t done = 0; done < length; done += kWritebackBytes) {
    const size_t part = std::min(length - done, kWritebackBytes);
    const off_t offset = static_cast<off_t>(packEnd_ + done);
    if (WriteFully(packFd_, buffer_.data() + done, part, offset) != 0) return WriteFailed();
    // Only a hint: the fdatasync below is what makes the batch durable.
    sync_file_range(packFd_, offset, static_cast<off_t>(part), SYNC_FILE_RANGE_WRITE);
  }
  if (io::Fdatasync(packFd_) != 0) return WriteFailed();
  packEnd_ += length;
  bytesWritten_ += length;
  return 0;
}

int JobWriter::WriteFailed() {
  error_ = ErrnoMessage("cannot write into pack file '" + storage_.Packs().PathOf(afile_, 0) + "'");
  return -1;
}

int JobWriter::Record(const std::vector<Block>& stored, const std::vector<Placed>& placed,
                      const std::vector<Block>& referenced, const std::vector<TreeEntry>& entries,
                      std::vector<size_t>& unresolved) {
  Database& db = storage_.Db();
  auto lock = db.Lock();
  const int rc = db.Transaction(true, [&] {
    if (db.Run(kSetBlockSize, jobId_, blockSize_) != 0) return -1;
    uint64_t blocks = 0, bytes = 0;
    for (size_t i = 0; i < stored.size(); ++i) {
      if (db.Run(kInsertStored, DigestOf(stored[i]), stored[i].size, afile_, placed[i].offset,
                 placed[i].length) != 0)
        return -1;
      if (db.Changes() != 0) ++blocks, bytes += stored[i].size;
    }
    if (!stored.empty()) {
      if (db.Run(kAddToAFile, afile_, blocks, bytes, packEnd_) != 0) return -1;
      if (db.Changes() == 0)
        return db.Fail("archive file " + std::to_string(afile_) + " is no longer live");
    }
    for (size_t i = 0; i < referenced.size(); ++i) {
      int64_t held = 0;
      bool found = false;
      if (db.ReadInt(kHeldOnCopy, held, found, DigestOf(referenced[i]), referenced[i].size,
                     copyId_) != 0)
        return -1;
      if (!found) {
        unresolved.push_back(i);
      } else if (db.Run(kInsertRef, DigestOf(referenced[i]), referenced[i].size, afile_) != 0) {
        return -1;
      }
    }
    return InsertEntries(db, jobId_, entries);
  });
  if (rc != 0) {
    error_ = "cannot record blocks of job " + std::to_string(jobId_) + ": " + db.Error();
    unresolved.clear();
  }
  return rc;
}

}  // namespace cldb
