// HashPipeline: reads what a backup walks and signs every block, on threads
// of its own, for the job thread that queries the CLDB and stores the data.
//
// Files are cut into fixed-size blocks from offset 0; the last block of a
// file may be short. Each block's signature is its SHA-512 digest. Work is
// handed out in segments of a few megabytes (a whole number of blocks, at
// least one), so several threads share a large file as well as a tree of
// small ones. Each segment reaches the job thread as one Piece: the bytes
// read with the signatures of their blocks. Folders, symbolic links and
// empty files reach it as Pieces without data. Pieces arrive in no
// particular order; each names its entry and its place in the file.
//
// Memory: every Piece counts against a budget (Options::bufferBytes) from
// before it is read until the job thread Releases it, so reading runs ahead
// of the job by a bounded amount. A Piece always fits when nothing else is
// held, so a budget of at least two segments never deadlocks a job thread
// that releases what it holds once it holds half the budget.
// With large blocks fewer threads run than asked for (64 MiB blocks: two).
//
// A file that cannot be opened or read is reported once through the
// reporter and counted as unreadable; every Piece of it from the failure on
// is marked failed. A file is read up to the size it had when it was
// opened, so one that keeps growing cannot hold the backup; one that
// shrinks is read as far as it goes (its Pieces come short).
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

// A file, folder or symbolic link of the walk.
struct WalkedEntry {
  TreeWalker::Kind kind = TreeWalker::kFile;
  std::string path;
  uint32_t mode = 0;
  int64_t mtimeNs = 0;
  uint64_t size = 0;      // a file's size when it was opened
  std::string target;     // a link's
  uint64_t segments = 0;  // Pieces that carry a file's data; 0 for the others
};

struct Piece {
  std::shared_ptr<const WalkedEntry> entry;
  uint64_t segment = 0;     // which of the file's segments
  uint64_t firstBlock = 0;  // the file's block at the start of `data`
  size_t expected = 0;      // bytes the segment should hold; fewer came when the file shrank
  std::unique_ptr<unsigned char[]> data;
  size_t dataSize = 0;
  std::vector<BlockSignature> blocks;  // block i is data[i * blockSize ...]
  bool failed = false;                 // the file could not be read
  size_t cost = 0;                     // counted against the budget until released
};

class HashPipeline {
 public:
  static constexpr size_t kMaxReadBuffers = 128u << 20;

  struct Options {
    uint32_t blockSize = 128 * 1024;
    unsigned threads = 2;  // at most; see kMaxReadBuffers
    size_t bufferBytes = 96u << 20;
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
  // The budget: at least Options::bufferBytes and room for two Pieces.
  size_t Budget() const { return budget_; }
  // Waits for the next Piece; false once everything is delivered, or at
  // once after Stop.
  bool Pop(std::unique_ptr<Piece>& piece);
  // The job thread is done with a Piece: its cost leaves the budget.
  void Release(size_t cost);
  // Stops reading and waits for the threads, which finish the segment at
  // hand; what is queued is dropped. Called by the thread that pops.
  void Stop();

 private:
  struct OpenFile;
  struct Segment {
    std::shared_ptr<OpenFile> file;
    uint64_t index = 0;
    uint64_t offset = 0;
    size_t length = 0;
  };

  void Work();
  bool Claim(Segment& segment);
  bool OpenNextFile();
  std::unique_ptr<Piece> Read(const Segment& segment);
  void Fail(OpenFile& file, int error);
  // Waits until `cost` fits the budget; false when stopped.
  bool Acquire(size_t cost);
  void Push(std::unique_ptr<Piece> piece);

  TreeWalker& walker_;
  const Options options_;
  const size_t segmentSize_;
  const size_t budget_;
  JobCounters& counters_;
  Reporter reporter_;
  std::atomic<bool> stop_{false};

  std::mutex claimMutex_;  // guards the walker and the file being handed out
  std::shared_ptr<OpenFile> current_;
  uint64_t nextIndex_ = 0;

  std::mutex queueMutex_;  // guards the queue, the budget and running_
  std::condition_variable notEmpty_;
  std::condition_variable released_;
  std::deque<std::unique_ptr<Piece>> queue_;
  size_t held_ = 0;
  unsigned running_ = 0;

  std::vector<std::thread> threads_;
};
