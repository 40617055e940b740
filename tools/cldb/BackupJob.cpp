#include "BackupJob.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "Interrupt.h"
#include "Progress.h"
#include "platform/Clock.h"

namespace {

// Tree entries recorded at once when no batch of blocks takes them along.
const size_t kMaxReadyEntries = 10000;

unsigned HashingThreads(unsigned requested) {
  if (requested != 0) return requested;
  const unsigned processors = std::thread::hardware_concurrency();
  return processors != 0 ? processors : 2;
}

cldb::JobWriter::Block BlockOf(const BlockSignature& signature, const unsigned char* data) {
  return {signature.digest, signature.size, data};
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
    : root_(&root),
      options_(options),
      console_(console),
      session_(std::make_unique<JobSession>(root, options.identity, options.settings)),
      tree_(options.blockSize) {}

BackupJob::BackupJob(const std::string& rootFolder, const BackupOptions& options, Console& console)
    : root_(nullptr),
      options_(options),
      console_(console),
      rootFolder_(rootFolder),
      cldbFolder_(rootFolder + "/" + options.identity.FolderName()),
      lookup_(std::make_unique<CldbLookup>()),
      tree_(options.blockSize) {}

Outcome BackupJob::Run(BackupResult& result) {
  counters_.unreadable = options_.missingPaths;
  return session_ ? RunJob(result) : RunDry(result);
}

Outcome BackupJob::RunJob(BackupResult& result) {
  Outcome outcome = session_->Acquire();
  if (!outcome.ok()) return outcome;
  const auto start = std::chrono::steady_clock::now();
  outcome = session_->Begin();
  if (!outcome.ok()) return outcome;
  result.ran = true;
  if (session_->Offline())
    console_.Warning("a mount path of copy " + std::to_string(options_.identity.copy) +
                     " is offline; this job stores every block without deduplication");
  writer_ =
      std::make_unique<cldb::JobWriter>(root_->Storage(), session_->JobId(), options_.identity.copy,
                                        options_.blockSize, HashingThreads(options_.threads));
  outcome = NextArchiveFile();
  bool interrupted = false;
  if (outcome.ok()) outcome = Stream(interrupted);
  // What completed is recorded, also when the job was interrupted.
  if (outcome.ok()) outcome = RecordTree();

  JobStatus status = kJobCompleted;
  if (!outcome.ok())
    status = kJobFailed;
  else if (interrupted)
    status = kJobInterrupted;
  else if (counters_.unreadable.load() != 0)
    status = kJobPartial;
  const Outcome ended = session_->End(status, result.stats);
  if (outcome.ok()) outcome = ended;
  Collect(result);
  result.interrupted = interrupted;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return outcome.ok() ? Ended(result) : outcome;
}

Outcome BackupJob::RunDry(BackupResult& result) {
  const auto start = std::chrono::steady_clock::now();
  Outcome outcome = lookup_->Open(rootFolder_, options_.identity, options_.settings);
  if (!outcome.ok()) return outcome;
  result.ran = true;
  bool interrupted = false;
  outcome = Stream(interrupted);
  Collect(result);
  result.interrupted = interrupted;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return outcome.ok() ? Ended(result) : outcome;
}

Outcome BackupJob::Ended(const BackupResult& result) const {
  if (result.interrupted)
    return Outcome::Fail(interrupt::ExitCode(),
                         interrupt::Describe() + (session_ ? "; the CLDB was closed cleanly" : ""));
  if (result.unreadable != 0)
    return Outcome::Fail(kExitPartial, std::to_string(result.unreadable) +
                                           " file(s) or folder(s) could not be read");
  return Outcome::Ok();
}

Outcome BackupJob::Stream(bool& interrupted) {
  TreeWalker walker(options_.paths, options_.walk);
  HashPipeline::Options pipelineOptions;
  pipelineOptions.blockSize = options_.blockSize;
  pipelineOptions.threads = HashingThreads(options_.threads);
  HashPipeline pipeline(walker, pipelineOptions, counters_,
                        [this](const std::string& path, int error) {
                          console_.Error("cannot read '" + path + "': " + std::strerror(error));
                        });
  // The count runs beside the walk only for a progress display to use.
  cldb::TreeCount count(options_.paths, options_.walk);
  const bool shown = options_.progress != ProgressStyle::kNone;
  Progress progress(console_, counters_, shown ? &count : nullptr, options_.progress);
  if (shown) count.Start();
  pipeline.Start();
  progress.Start();
  // Pruning runs here, on the job thread, while the hashing threads fill
  // the queue; queries start once it is done.
  if (session_) session_->Manager().PruneExpiredRecords(ZelNow32());
  const Outcome outcome = Drain(pipeline, interrupted);
  pipeline.Stop();
  // A whole walk is reported against whole totals.
  if (outcome.ok() && !interrupted) count.Wait();
  count.Stop();
  progress.Stop();
  skipped_ = walker.Skipped();
  excluded_ = walker.Excluded();
  return outcome;
}

void BackupJob::Collect(BackupResult& result) const {
  result.files = counters_.files.load();
  result.unreadable = counters_.unreadable.load();
  result.skipped = skipped_;
  result.excluded = excluded_;
  result.bytes = counters_.bytesRead.load();
  result.blocks = counters_.blocks.load();
  result.hits = counters_.hits.load();
  result.misses = counters_.misses.load();
  result.falseHits = falseHits_;
  result.bytesNotSent = counters_.bytesNotSent.load();
  result.bytesStored = counters_.bytesStored.load();
  result.bytesWritten = writer_ ? writer_->BytesWritten() : 0;
  result.dryRun = lookup_ != nullptr;
  if (lookup_) {
    result.cldbFolder = cldbFolder_;
    result.dryRunNote = lookup_->Why();
    return;
  }
  result.jobId = session_->JobId();
  result.archiveFiles = session_->ArchiveFiles();
  result.cldbFolder = session_->CldbFolder();
  result.offline = session_->Offline();
  result.recreated = session_->Recreated();
}

// A batch is answered once `batch` blocks are held, or once the Pieces held
// take half the pipeline's budget (the pipeline then waits for them). An
// interruption is taken between batches: the batch at hand is finished.
Outcome BackupJob::Drain(HashPipeline& pipeline, bool& interrupted) {
  std::unique_ptr<Piece> piece;
  while (pipeline.Pop(piece)) {
    Hold(std::move(piece));
    Settle(0, pipeline);
    while (pending_ >= options_.batch || (pending_ > 0 && heldCost_ >= pipeline.Budget() / 2)) {
      Outcome outcome = ProcessBatch(std::min<size_t>(pending_, options_.batch), pipeline);
      if (!outcome.ok()) return outcome;
      if ((interrupted = interrupt::Requested())) return Outcome::Ok();
    }
    if (tree_.ReadyCount() >= kMaxReadyEntries) {
      Outcome outcome = RecordTree();
      if (!outcome.ok()) return outcome;
      if ((interrupted = interrupt::Requested())) return Outcome::Ok();
    }
  }
  while (pending_ > 0) {
    Outcome outcome = ProcessBatch(std::min<size_t>(pending_, options_.batch), pipeline);
    if (!outcome.ok()) return outcome;
    if ((interrupted = interrupt::Requested())) return Outcome::Ok();
  }
  return Outcome::Ok();
}

void BackupJob::Hold(std::unique_ptr<Piece> piece) {
  tree_.Add(*piece);
  heldCost_ += piece->cost;
  pending_ += piece->blocks.size();
  held_.push_back({std::move(piece), 0});
}

void BackupJob::Gather(size_t count) {
  batch_.clear();
  while (batch_.size() < count) {
    const Piece& piece = *held_[cursorPiece_].piece;
    if (cursorBlock_ == piece.blocks.size()) {
      ++cursorPiece_;
      cursorBlock_ = 0;
      continue;
    }
    batch_.push_back({&piece.blocks[cursorBlock_],
                      piece.data.get() + cursorBlock_ * static_cast<size_t>(options_.blockSize)});
    ++cursorBlock_;
  }
  pending_ -= count;
}

// The oldest Pieces are the ones whose blocks were answered first.
void BackupJob::Settle(size_t count, HashPipeline& pipeline) {
  for (size_t i = 0; count > 0; ++i) {
    Held& held = held_[i];
    const size_t take = std::min(count, held.piece->blocks.size() - held.recorded);
    held.recorded += take;
    count -= take;
  }
  while (!held_.empty() && held_.front().recorded == held_.front().piece->blocks.size()) {
    if (cursorPiece_ == 0) {
      cursorBlock_ = 0;  // it had no block
    } else {
      --cursorPiece_;
    }
    tree_.Settled(*held_.front().piece);
    heldCost_ -= held_.front().piece->cost;
    pipeline.Release(held_.front().piece->cost);
    held_.pop_front();
  }
}

void BackupJob::Fill(CacheRecordRef& record, const BlockSignature& block) const {
  std::memcpy(record.Signature, block.digest, sizeof(record.Signature));
  record.size = block.size;
  record.tagHdrCount = 0;
  record.ArchivingTime = session_->StartTime();
  record.archiveFileId = afile_;
  record.subStoreID = 0;
}

Outcome BackupJob::NextArchiveFile() {
  Outcome outcome = session_->NewArchiveFile(afile_);
  if (!outcome.ok()) return outcome;
  writer_->UseArchiveFile(afile_);
  afileBytes_ = 0;
  return Outcome::Ok();
}

Outcome BackupJob::ProcessBatch(size_t count, HashPipeline& pipeline) {
  if (lookup_) {
    LookUpBatch(count, pipeline);
    return Outcome::Ok();
  }
  // A full archive file is followed by a new one only when there is more to
  // store or reference, so no job ends with an empty archive file.
  if (options_.archiveFileSize != 0 && afileBytes_ >= options_.archiveFileSize) {
    Outcome outcome = NextArchiveFile();
    if (!outcome.ok()) return outcome;
  }
  Gather(count);
  const bool deduplicate = !session_->Offline();
  if (deduplicate) {
    Outcome outcome = Query();
    if (!outcome.ok()) return outcome;
  }
  std::vector<cldb::JobWriter::Block> stored, referenced;
  inserts_.clear();
  missed_.clear();
  for (size_t i = 0; i < batch_.size(); ++i) {
    const Item& item = batch_[i];
    const bool found = deduplicate && queries_[i].found != 0;
    // A repeat of a miss of this batch references the copy being stored.
    if (found || !missed_.insert(item.signature).second) {
      referenced.push_back(BlockOf(*item.signature, item.data));
      continue;
    }
    stored.push_back(BlockOf(*item.signature, item.data));
    inserts_.emplace_back();
    Fill(inserts_.back(), *item.signature);
  }
  Outcome outcome = Store(stored, referenced);
  if (!outcome.ok()) return outcome;
  if (deduplicate && !inserts_.empty() &&
      session_->Manager().InsertSignature(inserts_.data(), static_cast<int>(inserts_.size())) != 0)
    return Outcome::Fail(kExitFailure, "inserting into the CLDB failed; " + root_->LogHint());
  counters_.blocks.fetch_add(count, std::memory_order_relaxed);
  Settle(count, pipeline);
  return Outcome::Ok();
}

void BackupJob::LookUpBatch(size_t count, HashPipeline& pipeline) {
  Gather(count);
  uint64_t hits = 0, hitBytes = 0, storedBytes = 0;
  for (const Item& item : batch_) {
    const BlockSignature& block = *item.signature;
    const bool repeat = !seen_.emplace(reinterpret_cast<const char*>(block.digest), 16).second;
    if (repeat || lookup_->Find(block.digest, block.size)) {
      ++hits;
      hitBytes += block.size;
    } else {
      storedBytes += block.size;
    }
  }
  counters_.hits.fetch_add(hits, std::memory_order_relaxed);
  counters_.misses.fetch_add(count - hits, std::memory_order_relaxed);
  counters_.bytesNotSent.fetch_add(hitBytes, std::memory_order_relaxed);
  counters_.bytesStored.fetch_add(storedBytes, std::memory_order_relaxed);
  counters_.blocks.fetch_add(count, std::memory_order_relaxed);
  tree_.TakeReady();  // a dry run records no tree
  Settle(count, pipeline);
}

Outcome BackupJob::Query() {
  queries_.resize(batch_.size());
  for (size_t i = 0; i < batch_.size(); ++i) {
    Fill(queries_[i].record, *batch_[i].signature);
    queries_[i].found = 0;
  }
  if (session_->Manager().QuerySignature(queries_.data(), static_cast<int>(batch_.size())) != 0)
    return Outcome::Fail(kExitFailure, "querying the CLDB failed; " + root_->LogHint());
  return Outcome::Ok();
}

Outcome BackupJob::Store(const std::vector<cldb::JobWriter::Block>& stored,
                         const std::vector<cldb::JobWriter::Block>& referenced) {
  std::vector<size_t> unresolved;
  if (writer_->StoreBatch(stored, referenced, tree_.TakeReady(), unresolved) != 0)
    return Outcome::Fail(kExitFailure, writer_->Error());
  uint64_t storedBytes = 0, hitBytes = 0;
  for (const auto& block : stored) storedBytes += block.size;
  for (const auto& block : referenced) hitBytes += block.size;
  for (size_t i : unresolved) hitBytes -= referenced[i].size;
  afileBytes_ += storedBytes;
  counters_.hits.fetch_add(referenced.size() - unresolved.size(), std::memory_order_relaxed);
  counters_.misses.fetch_add(stored.size() + unresolved.size(), std::memory_order_relaxed);
  counters_.bytesNotSent.fetch_add(hitBytes, std::memory_order_relaxed);
  counters_.bytesStored.fetch_add(storedBytes, std::memory_order_relaxed);
  return unresolved.empty() ? Outcome::Ok() : StoreFalseHits(referenced, unresolved);
}

// The CLDB answered for blocks no pack holds: their data is stored after
// all, into the archive file their records were re-pointed at.
Outcome BackupJob::StoreFalseHits(const std::vector<cldb::JobWriter::Block>& referenced,
                                  const std::vector<size_t>& unresolved) {
  falseHits_ += unresolved.size();
  std::vector<cldb::JobWriter::Block> stored;
  missed_.clear();
  std::vector<BlockSignature> signatures(unresolved.size());
  for (size_t k = 0; k < unresolved.size(); ++k) {
    const cldb::JobWriter::Block& block = referenced[unresolved[k]];
    std::memcpy(signatures[k].digest, block.digest, sizeof(signatures[k].digest));
    signatures[k].size = block.size;
    if (missed_.insert(&signatures[k]).second) stored.push_back(block);
  }
  std::vector<size_t> none;
  if (writer_->StoreBatch(stored, {}, {}, none) != 0)
    return Outcome::Fail(kExitFailure, writer_->Error());
  uint64_t bytes = 0;
  for (const auto& block : stored) bytes += block.size;
  afileBytes_ += bytes;
  counters_.bytesStored.fetch_add(bytes, std::memory_order_relaxed);
  return Outcome::Ok();
}

Outcome BackupJob::RecordTree() {
  if (!writer_) {  // a dry run
    tree_.TakeReady();
    return Outcome::Ok();
  }
  std::vector<size_t> none;
  if (writer_->StoreBatch({}, {}, tree_.TakeReady(), none) != 0)
    return Outcome::Fail(kExitFailure, writer_->Error());
  return Outcome::Ok();
}
