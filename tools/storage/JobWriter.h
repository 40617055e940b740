// JobWriter: what one backup job stores, batch by batch: the blocks it sends
// into the pack of its current archive file, the blocks it references
// instead (CLDB hits), and its tree.
//
// A batch is made durable before it is recorded, and recorded before the
// caller inserts its signatures into the CLDB: the records of the stored
// blocks are written to the pack and the pack is synced; then one
// transaction records them, resolves each reference, records the
// references and the tree entries. A crash before the commit leaves bytes
// in the pack that nothing names (garbage collection cuts them off); after
// it, everything recorded is on disk.
//
// A reference is resolved when some pack on the job's storage copy holds
// the block; it is then recorded against the current archive file, whose
// CLDB records now answer for it. One that cannot be resolved is a false
// hit: nothing is recorded for it and the caller stores the block instead.
//
// Used by the job's thread only; compression runs on up to `threads`
// threads of its own inside StoreBatch.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/JobTree.h"
#include "storage/PackFormat.h"
#include "storage/SqliteStorageBackend.h"

namespace cldb {

class JobWriter {
 public:
  struct Block {
    const unsigned char* digest;  // 64 bytes
    uint32_t size;
    const unsigned char* data;  // `size` bytes; read only for stored blocks
  };

  JobWriter(cldb::SqliteStorageBackend& storage, uint32_t jobId, uint32_t copyId,
            uint32_t blockSize, unsigned threads);
  ~JobWriter();
  JobWriter(const JobWriter&) = delete;
  JobWriter& operator=(const JobWriter&) = delete;

  // The job's archive file that the following batches go into.
  void UseArchiveFile(uint32_t afileId);

  // Stores `stored`, resolves and records `referenced`, records `entries`.
  // `unresolved` receives the indexes into `referenced` of the false hits.
  // 0, or -1 with Error() set: then nothing of the batch is recorded.
  int StoreBatch(const std::vector<Block>& stored, const std::vector<Block>& referenced,
                 const std::vector<TreeEntry>& entries, std::vector<size_t>& unresolved);

  // Bytes this job has written into packs, headers included.
  uint64_t BytesWritten() const { return bytesWritten_; }
  const std::string& Error() const { return error_; }

 private:
  struct Placed {
    uint64_t offset;  // in the pack
    uint32_t length;  // of the record
  };

  // Creates the current archive file's pack at its first block.
  int OpenPack();
  // Encodes the records of `blocks` into buffer_ (compressing on several
  // threads), lays them end to end and says where each will lie.
  size_t Encode(const std::vector<Block>& blocks, std::vector<Placed>& placed);
  // Appends the encoded records to the pack and syncs it.
  int Write(size_t length);
  // Names the pack in error_ with errno's reason; -1.
  int WriteFailed();
  int Record(const std::vector<Block>& stored, const std::vector<Placed>& placed,
             const std::vector<Block>& referenced, const std::vector<TreeEntry>& entries,
             std::vector<size_t>& unresolved);

  cldb::SqliteStorageBackend& storage_;
  const uint32_t jobId_;
  const uint32_t copyId_;
  const uint32_t blockSize_;
  const unsigned threads_;
  uint32_t afile_ = 0;
  int packFd_ = -1;
  uint64_t packEnd_ = 0;
  uint64_t bytesWritten_ = 0;
  std::vector<unsigned char> buffer_;
  std::vector<std::unique_ptr<Compressor>> compressors_;
  std::string error_;
};

}  // namespace cldb
