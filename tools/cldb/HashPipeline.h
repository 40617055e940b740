// HashPipeline: reads the files of a backup and signs every block, on
// threads of its own, for the job thread that queries the CLDB.
//
// Files are cut into fixed-size blocks from offset 0; the last block of a
// file may be short. Each block's signature is its SHA-512 digest. Work is
// handed out in segments of a few megabytes (a whole number of blocks, at
// least one), so several threads share a large file as well as a tree of
// small ones; each thread reads its segment with large positioned reads into
// its own buffer, grown to the largest segment it has read, and hashes it.
// Signed blocks reach the job thread in chunks through a bounded queue, so
// reading runs ahead of the CLDB by a bounded amount. Chunks arrive in no
// particular order; the job does not need one.
//
// Memory: the read buffers together stay within kMaxReadBuffers; to keep
// them there the pipeline runs fewer threads than asked for when segments
// are large (64 MiB blocks: two threads).
//
// A file that cannot be opened or read is reported once through the
// reporter, counted as unreadable and skipped; blocks signed before a read
// error are still delivered. A file is read up to the size it had when it
// was opened, so one that keeps growing cannot hold the backup; one that
// shrinks is read as far as it goes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "JobCounters.h"
#include "TreeWalker.h"

struct BlockSignature {
  unsigned char digest[64];
  uint32_t size;
};
using SignatureChunk = std::vector<BlockSignature>;

class HashPipeline {
 public:
  static constexpr size_t kMaxReadBuffers = 128u << 20;

  struct Options {
    uint32_t blockSize = 128 * 1024;
    unsigned threads = 2;       // at most; see kMaxReadBuffers
    size_t queueBlocks = 8192;  // signatures that may wait for the job thread
  };
  // Receives a path that could not be read and the errno value.
  using Reporter = std::function<void(const std::string& path, int error)>;

  HashPipeline(TreeWalker& walker, const Options& options, JobCounters& counters,
               Reporter reporter);
  ~HashPipeline();  // Stop
  HashPipeline(const HashPipeline&) = delete;
  HashPipeline& operator=(const HashPipeline&) = delete;

  void Start();
  // The hashing threads Start runs.
  unsigned Threads() const;
  // Waits for the next chunk; false once every file is signed, or at once
  // after Stop.
  bool Pop(SignatureChunk& chunk);
  // Stops reading and waits for the threads, which finish the segment at
  // hand; what is queued is dropped. Called by the thread that pops.
  void Stop();

 private:
  struct OpenFile;
  struct Segment {
    std::shared_ptr<OpenFile> file;
    uint64_t offset = 0;
    size_t length = 0;
  };

  void Work();
  bool Claim(Segment& segment);
  bool OpenNextFile();
  void Sign(const Segment& segment, std::vector<unsigned char>& buffer, SignatureChunk& chunk);
  void Fail(OpenFile& file, int error);
  void Push(SignatureChunk&& chunk);

  TreeWalker& walker_;
  const Options options_;
  const size_t segmentSize_;
  JobCounters& counters_;
  Reporter reporter_;
  std::atomic<bool> stop_{false};

  std::mutex claimMutex_;  // guards the walker and the file being handed out
  std::shared_ptr<OpenFile> current_;
  uint64_t nextOffset_ = 0;

  std::mutex queueMutex_;
  std::condition_variable notEmpty_;
  std::condition_variable notFull_;
  std::deque<SignatureChunk> queue_;
  size_t queuedBlocks_ = 0;
  unsigned running_ = 0;

  std::vector<std::thread> threads_;
};
