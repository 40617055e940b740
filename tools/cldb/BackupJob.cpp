#include "BackupJob.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "Interrupt.h"
#include "Progress.h"
#include "platform/Clock.h"

namespace {

const size_t kQueueBatches = 8;  // batches the hashing threads may run ahead

unsigned HashingThreads(unsigned requested) {
  if (requested != 0) return requested;
  const unsigned processors = std::thread::hardware_concurrency();
  return processors != 0 ? processors : 2;
}

}  // namespace

size_t BackupJob::DigestHash::operator()(const BlockSignature* block) const {
  size_t hash;
  std::memcpy(&hash, block->digest, sizeof(hash));
  return hash;
}

bool BackupJob::SameBlock::operator()(const BlockSignature* a, const BlockSignature* b) const {
  return a->size == b->size && std::memcmp(a->digest, b->digest, sizeof(a->digest)) == 0;
}

BackupJob::BackupJob(ToolRoot& root, const BackupOptions& options, Console& console)
    : root_(root),
      options_(options),
      console_(console),
      session_(root, options.identity, options.settings) {}

Outcome BackupJob::Run(BackupResult& result) {
  Outcome outcome = session_.Acquire();
  if (!outcome.ok()) return outcome;
  const auto start = std::chrono::steady_clock::now();
  outcome = session_.Begin();
  if (!outcome.ok()) return outcome;
  result.ran = true;
  if (session_.Offline())
    console_.Warning("a mount path of copy " + std::to_string(options_.identity.copy) +
                     " is offline; this job stores every block without deduplication");
  outcome = session_.NewArchiveFile(afile_);
  bool interrupted = false;
  if (outcome.ok()) outcome = Stream(interrupted);

  JobStatus status = kJobCompleted;
  if (!outcome.ok())
    status = kJobFailed;
  else if (interrupted)
    status = kJobInterrupted;
  else if (counters_.unreadable.load() != 0)
    status = kJobPartial;
  const Outcome ended = session_.End(status, result.stats);
  if (outcome.ok()) outcome = ended;
  Collect(result);
  result.interrupted = interrupted;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  if (!outcome.ok()) return outcome;
  if (interrupted)
    return Outcome::Fail(interrupt::ExitCode(),
                         interrupt::Describe() + "; the CLDB was closed cleanly");
  if (result.unreadable != 0)
    return Outcome::Fail(kExitPartial, std::to_string(result.unreadable) +
                                           " file(s) or folder(s) could not be read");
  return Outcome::Ok();
}

Outcome BackupJob::Stream(bool& interrupted) {
  TreeWalker walker(options_.paths);
  HashPipeline::Options pipelineOptions;
  pipelineOptions.blockSize = options_.blockSize;
  pipelineOptions.threads = HashingThreads(options_.threads);
  pipelineOptions.queueBlocks = kQueueBatches * options_.batch;
  HashPipeline pipeline(walker, pipelineOptions, counters_,
                        [this](const std::string& path, int error) {
                          console_.Error("cannot read '" + path + "': " + std::strerror(error));
                        });
  Progress progress(console_, counters_);
  pipeline.Start();
  if (options_.showProgress) progress.Start();
  // Pruning runs here, on the job thread, while the hashing threads fill
  // the queue; queries start once it is done.
  session_.Manager().PruneExpiredRecords(ZelNow32());
  const Outcome outcome = Drain(pipeline, interrupted);
  pipeline.Stop();
  progress.Stop();
  skipped_ = walker.Skipped();
  return outcome;
}

void BackupJob::Collect(BackupResult& result) const {
  result.files = counters_.files.load();
  result.unreadable = counters_.unreadable.load();
  result.skipped = skipped_;
  result.bytes = counters_.bytesRead.load();
  result.blocks = counters_.blocks.load();
  result.hits = counters_.hits.load();
  result.misses = counters_.misses.load();
  result.bytesNotSent = counters_.bytesNotSent.load();
  result.bytesStored = counters_.bytesStored.load();
  result.jobId = session_.JobId();
  result.archiveFiles = session_.ArchiveFiles();
  result.cldbFolder = session_.CldbFolder();
  result.offline = session_.Offline();
  result.recreated = session_.Recreated();
}

Outcome BackupJob::Drain(HashPipeline& pipeline, bool& interrupted) {
  std::vector<BlockSignature> pending;
  SignatureChunk chunk;
  size_t begin = 0;  // first block of `pending` not yet answered
  while (pipeline.Pop(chunk)) {
    pending.insert(pending.end(), chunk.begin(), chunk.end());
    for (; pending.size() - begin >= options_.batch; begin += options_.batch) {
      Outcome outcome = ProcessBatch(pending.data() + begin, options_.batch);
      if (!outcome.ok()) return outcome;
      if ((interrupted = interrupt::Requested())) return Outcome::Ok();
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<ptrdiff_t>(begin));
    begin = 0;
    if ((interrupted = interrupt::Requested())) return Outcome::Ok();
  }
  return pending.empty() ? Outcome::Ok() : ProcessBatch(pending.data(), pending.size());
}

void BackupJob::Fill(CacheRecordRef& record, const BlockSignature& block) const {
  std::memcpy(record.Signature, block.digest, sizeof(record.Signature));
  record.size = block.size;
  record.tagHdrCount = 0;
  record.ArchivingTime = session_.StartTime();
  record.archiveFileId = afile_;
  record.subStoreID = 0;
}

Outcome BackupJob::ProcessBatch(const BlockSignature* blocks, size_t count) {
  // A full archive file is followed by a new one only when there is more to
  // store or reference, so no job ends with an empty archive file.
  if (options_.archiveFileSize != 0 && afileBytes_ >= options_.archiveFileSize) {
    Outcome outcome = session_.NewArchiveFile(afile_);
    if (!outcome.ok()) return outcome;
    afileBytes_ = 0;
  }
  const bool deduplicate = !session_.Offline();
  if (deduplicate) {
    Outcome outcome = Query(blocks, count);
    if (!outcome.ok()) return outcome;
  }
  inserts_.clear();
  missed_.clear();
  uint64_t hits = 0;
  uint64_t hitBytes = 0;
  uint64_t storedBytes = 0;
  for (size_t i = 0; i < count; ++i) {
    const bool hit = deduplicate && (queries_[i].found != 0 || !missed_.insert(&blocks[i]).second);
    if (hit) {
      ++hits;
      hitBytes += blocks[i].size;
      continue;
    }
    inserts_.emplace_back();
    Fill(inserts_.back(), blocks[i]);
    storedBytes += blocks[i].size;
  }
  Outcome outcome = StoreMisses(storedBytes);
  if (!outcome.ok()) return outcome;
  counters_.hits.fetch_add(hits, std::memory_order_relaxed);
  counters_.misses.fetch_add(inserts_.size(), std::memory_order_relaxed);
  counters_.bytesNotSent.fetch_add(hitBytes, std::memory_order_relaxed);
  counters_.bytesStored.fetch_add(storedBytes, std::memory_order_relaxed);
  counters_.blocks.fetch_add(count, std::memory_order_relaxed);
  return Outcome::Ok();
}

Outcome BackupJob::Query(const BlockSignature* blocks, size_t count) {
  queries_.resize(count);
  for (size_t i = 0; i < count; ++i) {
    Fill(queries_[i].record, blocks[i]);
    queries_[i].found = 0;
  }
  if (session_.Manager().QuerySignature(queries_.data(), static_cast<int>(count)) != 0)
    return Outcome::Fail(kExitFailure, "querying the CLDB failed; " + root_.LogHint());
  return Outcome::Ok();
}

// Stores the batch's misses into the current archive file, then inserts
// their signatures.
Outcome BackupJob::StoreMisses(uint64_t bytes) {
  if (inserts_.empty()) return Outcome::Ok();
  Outcome outcome = session_.Store(afile_, inserts_.size(), bytes);
  if (!outcome.ok()) return outcome;
  afileBytes_ += bytes;
  if (!session_.Offline() &&
      session_.Manager().InsertSignature(inserts_.data(), static_cast<int>(inserts_.size())) != 0)
    return Outcome::Fail(kExitFailure, "inserting into the CLDB failed; " + root_.LogHint());
  return Outcome::Ok();
}
