#include "HashPipeline.h"

#include <fcntl.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

const size_t kSegmentTarget = 4 << 20;

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
  OpenFile(int descriptor, std::string name, uint64_t bytes)
      : fd(descriptor), path(std::move(name)), size(bytes) {}
  ~OpenFile() { close(fd); }
  const int fd;
  const std::string path;
  const uint64_t size;  // when opened: what is read
  std::atomic<bool> failed{false};
};

HashPipeline::HashPipeline(TreeWalker& walker, const Options& options, JobCounters& counters,
                           Reporter reporter)
    : walker_(walker),
      options_(options),
      segmentSize_(std::max<size_t>(options.blockSize,
                                    kSegmentTarget / options.blockSize * options.blockSize)),
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
    notFull_.notify_all();
  }
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

void HashPipeline::Work() {
  std::vector<unsigned char> buffer;
  Segment segment;
  while (!stop_.load() && Claim(segment)) {
    SignatureChunk chunk;
    Sign(segment, buffer, chunk);
    segment.file.reset();  // the last holder closes the file
    if (!chunk.empty()) Push(std::move(chunk));
  }
  std::lock_guard<std::mutex> guard(queueMutex_);
  --running_;
  notEmpty_.notify_all();
}

bool HashPipeline::Claim(Segment& segment) {
  std::lock_guard<std::mutex> guard(claimMutex_);
  if (!current_ && !OpenNextFile()) return false;
  segment.file = current_;
  segment.offset = nextOffset_;
  segment.length =
      static_cast<size_t>(std::min<uint64_t>(segmentSize_, current_->size - nextOffset_));
  nextOffset_ += segment.length;
  if (nextOffset_ >= current_->size) current_.reset();
  return true;
}

// Advances the walker to the next file that opens; false when none is left.
bool HashPipeline::OpenNextFile() {
  for (;;) {
    if (stop_.load()) return false;
    TreeWalker::Entry entry = walker_.Next();
    if (entry.kind == TreeWalker::kDone) return false;
    if (entry.kind == TreeWalker::kUnreadable) {
      counters_.unreadable.fetch_add(1, std::memory_order_relaxed);
      reporter_(entry.path, entry.error);
      continue;
    }
    counters_.files.fetch_add(1, std::memory_order_relaxed);
    posix_fadvise(entry.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    current_ = std::make_shared<OpenFile>(entry.fd, std::move(entry.path), entry.size);
    nextOffset_ = 0;
    return true;
  }
}

void HashPipeline::Sign(const Segment& segment, std::vector<unsigned char>& buffer,
                        SignatureChunk& chunk) {
  OpenFile& file = *segment.file;
  if (segment.length == 0 || file.failed.load()) return;
  if (buffer.size() < segment.length) buffer.resize(segment.length);
  const ssize_t got = ReadFully(file.fd, buffer.data(), segment.length, segment.offset);
  if (got < 0) {
    Fail(file, errno);
    return;
  }
  const size_t length = static_cast<size_t>(got);
  for (size_t at = 0; at < length; at += options_.blockSize) {
    BlockSignature block;
    block.size = static_cast<uint32_t>(std::min<size_t>(options_.blockSize, length - at));
    SHA512(buffer.data() + at, block.size, block.digest);
    chunk.push_back(block);
  }
  counters_.bytesRead.fetch_add(length, std::memory_order_relaxed);
}

void HashPipeline::Fail(OpenFile& file, int error) {
  if (file.failed.exchange(true)) return;
  counters_.unreadable.fetch_add(1, std::memory_order_relaxed);
  reporter_(file.path, error);
}

void HashPipeline::Push(SignatureChunk&& chunk) {
  std::unique_lock<std::mutex> lock(queueMutex_);
  // A chunk larger than the bound still goes into an empty queue.
  notFull_.wait(lock, [&] {
    return stop_.load() || queuedBlocks_ == 0 ||
           queuedBlocks_ + chunk.size() <= options_.queueBlocks;
  });
  if (stop_.load()) return;
  queuedBlocks_ += chunk.size();
  queue_.push_back(std::move(chunk));
  notEmpty_.notify_one();
}

bool HashPipeline::Pop(SignatureChunk& chunk) {
  std::unique_lock<std::mutex> lock(queueMutex_);
  notEmpty_.wait(lock, [&] { return stop_.load() || !queue_.empty() || running_ == 0; });
  if (stop_.load() || queue_.empty()) return false;
  chunk = std::move(queue_.front());
  queue_.pop_front();
  queuedBlocks_ -= chunk.size();
  notFull_.notify_all();
  return true;
}
