#include "HashPipeline.h"

#include <fcntl.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

const size_t kSegmentTarget = 4 << 20;
// What a Piece costs besides its data and signatures.
const size_t kPieceOverhead = 512;

// Reads up to `length` bytes at `offset`, stopping early only at end of
// file; the count, or -1 with errno set.
ssize_t ReadFully(int fd, unsigned char* buffer, size_t length, uint64_t offset) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

struct HashPipeline::OpenFile {
  OpenFile(int descriptor, std::shared_ptr<const WalkedEntry> walked)
      : fd(descriptor), entry(std::move(walked)) {}
  ~OpenFile() { close(fd); }
  const int fd;
  const std::shared_ptr<const WalkedEntry> entry;
  std::atomic<bool> failed{false};
};

HashPipeline::HashPipeline(TreeWalker& walker, const Options& options, JobCounters& counters,
                           Reporter reporter)
    : walker_(walker),
      options_(options),
      segmentSize_(std::max<size_t>(options.blockSize,
                                    kSegmentTarget / options.blockSize * options.blockSize)),
      budget_(std::max(options.bufferBytes,
                       2 * (segmentSize_ + kPieceOverhead +
                            (segmentSize_ / options.blockSize + 1) * sizeof(BlockSignature)))),
      counters_(counters),
      reporter_(std::move(reporter)) {}

HashPipeline::~HashPipeline() { Stop(); }

unsigned HashPipeline::Threads() const {
  const size_t fitting = std::max<size_t>(1, kMaxReadBuffers / segmentSize_);
  return static_cast<unsigned>(std::min<size_t>(std::max(1u, options_.threads), fitting));
}

void HashPipeline::Start() {
  const unsigned threads = Threads();
  running_ = threads;
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

void HashPipeline::Stop() {
  {
    std::lock_guard<std::mutex> guard(queueMutex_);
    stop_.store(true);
    notEmpty_.notify_all();
    released_.notify_all();
  }
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

void HashPipeline::Work() {
  Segment segment;
  while (!stop_.load() && Claim(segment)) {
    std::unique_ptr<Piece> piece = Read(segment);
    segment.file.reset();  // the last holder closes the file
    if (piece) Push(std::move(piece));
  }
  std::lock_guard<std::mutex> guard(queueMutex_);
  --running_;
  notEmpty_.notify_all();
}

bool HashPipeline::Claim(Segment& segment) {
  std::lock_guard<std::mutex> guard(claimMutex_);
  if (!current_ && !OpenNextFile()) return false;
  segment.file = current_;
  segment.index = nextIndex_++;
  segment.offset = segment.index * segmentSize_;
  const uint64_t size = current_->entry->size;
  segment.length = static_cast<size_t>(std::min<uint64_t>(segmentSize_, size - segment.offset));
  if (nextIndex_ >= current_->entry->segments) current_.reset();
  return true;
}

// Advances the walker to the next file that opens with data to read,
// handing out what comes before it as Pieces without data; false when
// nothing is left.
bool HashPipeline::OpenNextFile() {
  for (;;) {
    if (stop_.load()) return false;
    TreeWalker::Entry found = walker_.Next();
    if (found.kind == TreeWalker::kDone) return false;
    if (found.kind == TreeWalker::kUnreadable) {
      counters_.unreadable.fetch_add(1, std::memory_order_relaxed);
      reporter_(found.path, found.error);
      continue;
    }
    auto entry = std::make_shared<WalkedEntry>();
    entry->kind = found.kind;
    entry->path = std::move(found.path);
    entry->mode = found.mode;
    entry->mtimeNs = found.mtimeNs;
    entry->size = found.size;
    entry->target = std::move(found.target);
    entry->segments = (found.size + segmentSize_ - 1) / segmentSize_;
    if (found.kind == TreeWalker::kFile) {
      counters_.files.fetch_add(1, std::memory_order_relaxed);
      counters_.SetPath(entry->path);
    }
    if (entry->segments == 0) {
      if (found.fd >= 0) close(found.fd);
      auto piece = std::make_unique<Piece>();
      piece->cost = kPieceOverhead + entry->path.size() + entry->target.size();
      piece->entry = std::move(entry);
      if (!Acquire(piece->cost)) return false;
      Push(std::move(piece));
      continue;
    }
    posix_fadvise(found.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    current_ = std::make_shared<OpenFile>(found.fd, std::move(entry));
    nextIndex_ = 0;
    return true;
  }
}

std::unique_ptr<Piece> HashPipeline::Read(const Segment& segment) {
  OpenFile& file = *segment.file;
  auto piece = std::make_unique<Piece>();
  piece->entry = file.entry;
  piece->segment = segment.index;
  piece->firstBlock = segment.offset / options_.blockSize;
  piece->expected = segment.length;
  const size_t blocks = (segment.length + options_.blockSize - 1) / options_.blockSize;
  piece->cost = kPieceOverhead + segment.length + blocks * sizeof(BlockSignature);
  if (!Acquire(piece->cost)) return nullptr;
  if (!file.failed.load()) {
    piece->data.reset(new unsigned char[segment.length]);
    const ssize_t got = ReadFully(file.fd, piece->data.get(), segment.length, segment.offset);
    if (got < 0) Fail(file, errno);
    piece->dataSize = got < 0 ? 0 : static_cast<size_t>(got);
  }
  piece->failed = file.failed.load();
  if (piece->failed) {
    piece->data.reset();
    piece->dataSize = 0;
  }
  for (size_t at = 0; at < piece->dataSize; at += options_.blockSize) {
    BlockSignature block;
    block.size = static_cast<uint32_t>(std::min<size_t>(options_.blockSize, piece->dataSize - at));
    SHA512(piece->data.get() + at, block.size, block.digest);
    piece->blocks.push_back(block);
  }
  counters_.bytesRead.fetch_add(piece->dataSize, std::memory_order_relaxed);
  return piece;
}

void HashPipeline::Fail(OpenFile& file, int error) {
  if (file.failed.exchange(true)) return;
  counters_.unreadable.fetch_add(1, std::memory_order_relaxed);
  reporter_(file.entry->path, error);
}

bool HashPipeline::Acquire(size_t cost) {
  std::unique_lock<std::mutex> lock(queueMutex_);
  released_.wait(lock, [&] { return stop_.load() || held_ == 0 || held_ + cost <= budget_; });
  if (stop_.load()) return false;
  held_ += cost;
  return true;
}

void HashPipeline::Release(size_t cost) {
  std::lock_guard<std::mutex> guard(queueMutex_);
  held_ -= cost;
  released_.notify_all();
}

void HashPipeline::Push(std::unique_ptr<Piece> piece) {
  std::lock_guard<std::mutex> guard(queueMutex_);
  if (stop_.load()) return;
  queue_.push_back(std::move(piece));
  notEmpty_.notify_one();
}

bool HashPipeline::Pop(std::unique_ptr<Piece>& piece) {
  std::unique_lock<std::mutex> lock(queueMutex_);
  notEmpty_.wait(lock, [&] { return stop_.load() || !queue_.empty() || running_ == 0; });
  if (stop_.load() || queue_.empty()) return false;
  piece = std::move(queue_.front());
  queue_.pop_front();
  return true;
}
