#include "HashPipeline.h"

#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/stat.h>
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

// Opens a regular file for sequential reading; 0, or the errno value of
// the failure.
int OpenRegularFile(const std::string& path, int& fd, uint64_t& size) {
  // O_NONBLOCK: a file replaced by a pipe since the walk must not hang the
  // open; it is refused below. Reads of a regular file ignore the flag.
  fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat info {};
  int error = 0;
  if (fstat(fd, &info) != 0)
    error = errno;
  else if (!S_ISREG(info.st_mode))
    error = EINVAL;
  if (error != 0) {
    close(fd);
    return error;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  size = static_cast<uint64_t>(info.st_size);
  return 0;
}

}  // namespace

struct HashPipeline::OpenFile {
  OpenFile(int descriptor, std::string name, uint64_t bytes)
      : fd(descriptor), path(std::move(name)), size(bytes) {}
  ~OpenFile() { close(fd); }
  const int fd;
  const std::string path;
  const uint64_t size;  // when opened
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

void HashPipeline::Start() {
  const unsigned threads = std::max(1u, options_.threads);
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
  std::vector<unsigned char> buffer(segmentSize_);
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
  segment.last = nextOffset_ + segment.length >= current_->size;
  nextOffset_ += segment.length;
  if (segment.last) current_.reset();
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
    int fd = -1;
    uint64_t size = 0;
    const int error = OpenRegularFile(entry.path, fd, size);
    if (error != 0) {
      counters_.unreadable.fetch_add(1, std::memory_order_relaxed);
      reporter_(entry.path, error);
      continue;
    }
    current_ = std::make_shared<OpenFile>(fd, std::move(entry.path), size);
    nextOffset_ = 0;
    return true;
  }
}

void HashPipeline::Sign(const Segment& segment, std::vector<unsigned char>& buffer,
                        SignatureChunk& chunk) {
  OpenFile& file = *segment.file;
  uint64_t offset = segment.offset;
  // The final segment asks for a full buffer and goes on while reads come
  // back full, which takes in whatever the file grew by.
  const size_t want = segment.last ? buffer.size() : segment.length;
  for (;;) {
    if (file.failed.load()) return;
    const ssize_t got = ReadFully(file.fd, buffer.data(), want, offset);
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
    offset += length;
    if (!segment.last || length < want || stop_.load()) return;
  }
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
