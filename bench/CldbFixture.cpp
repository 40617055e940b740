#include "CldbFixture.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "Backend.h"
#include "FileTools.h"
#include "Workload.h"
#include "cldb/CLDBTableManager.h"
#include "platform/Clock.h"
#include "platform/EvDebug.h"
#include "support/InMemoryStorageBackend.h"

namespace bench {
namespace {

constexpr unsigned kCldbId = 1;
constexpr unsigned kCopyId = 1;
constexpr unsigned kStoreId = 1;
constexpr unsigned kSecondsPerDay = 86400;
// Raised whenever what a fixture holds changes, so that old caches are not
// taken for new ones; from 2 on it names the folder too, so that a CLDB of
// the engine's first file format stays cached beside (for comparisons).
constexpr int kFormat = 2;
constexpr uint32_t kHotJobs = 50;

// The library's clock while a fixture is made: its jobs ran in the past.
std::atomic<uint32_t> gFixtureNow{0};
uint32_t FixtureNow() { return gFixtureNow.load(); }

class PastClock {
 public:
  explicit PastClock(uint32_t now) : previous_(ZelSetClockHook(&FixtureNow)) { Set(now); }
  ~PastClock() { ZelSetClockHook(previous_); }
  PastClock(const PastClock&) = delete;
  PastClock& operator=(const PastClock&) = delete;
  void Set(uint32_t now) { gFixtureNow.store(now); }

 private:
  ZelClockHook previous_;
};

// One job of a fixture's history, through the manager as the tool runs one.
class Job {
 public:
  Job(const std::string& root, std::shared_ptr<cldb::InMemoryStorageBackend> storage,
      uint32_t start, std::string* error)
      : error_(error) {
    log_.SetThreshold(-2);  // the library's log stays out of the report
    cldb::StorageBackend::Install(std::move(storage));
    _CCLDBTableManagerArgs args = JobArgs(root, &log_, start);
    bool offline = false;
    begun_ = manager_.Initialize(args, offline) == 0;
    if (!begun_) *error_ = "the manager's Initialize failed in " + root;
  }
  ~Job() { End(); }

  bool begun() const { return begun_; }

  bool Insert(std::vector<CacheRecordRef>& refs) {
    if (manager_.InsertSignature(refs.data(), static_cast<int>(refs.size())) == 0) return true;
    *error_ = "an insertion batch failed";
    return false;
  }

  // Every query must hit.
  bool Hit(const std::vector<CacheRecordRef>& refs) {
    std::vector<CLDBQuerySignature> queries(refs.size());
    for (size_t i = 0; i < refs.size(); ++i) queries[i].record = refs[i];
    bool ok = manager_.QuerySignature(queries.data(), static_cast<int>(queries.size())) == 0;
    for (const CLDBQuerySignature& q : queries) ok = ok && q.found == 1;
    if (!ok) *error_ = "a batch of queries that must hit did not";
    return ok;
  }

  void End() {
    if (begun_) manager_.Uninitialize(false);
    begun_ = false;
  }

 private:
  std::string* error_;
  EvDebug log_;
  CCLDBTableManager manager_;
  bool begun_ = false;
};

std::vector<CacheRecordRef> Batch(const Workload& workload, uint64_t first, uint32_t now,
                                  uint32_t afileId) {
  std::vector<CacheRecordRef> refs(kBatchSize);
  for (int i = 0; i < kBatchSize; ++i) workload.StoredBlock(first + i, now, afileId, refs[i]);
  return refs;
}

// The loading job: a CLDB made fresh (the storage side knows nothing of it).
bool Load(const std::string& root, const Workload& workload, PastClock& clock, uint32_t start,
          std::string* error) {
  clock.Set(start);
  Job job(root, std::make_shared<cldb::InMemoryStorageBackend>(), start, error);
  std::vector<CacheRecordRef> refs(kBatchSize);
  for (uint64_t b = 0; job.begun() && b < workload.loadBatches(); ++b) {
    workload.LoadBatch(b, start, refs.data());
    if (!job.Insert(refs)) return false;
  }
  return job.begun();
}

// Later jobs that re-point records; `records` and `pruned` of *f describe
// the result.
bool Repoint(const std::string& root, const Workload& workload, History history, PastClock& clock,
             uint32_t start, CldbFixture* f, std::string* error) {
  const uint32_t loaded = workload.afiles();
  const bool hot = history == History::kHotRepointed;
  f->lastAfile = hot ? loaded + 2 * kHotJobs : 2 * loaded;
  clock.Set(start);
  Job job(root, StorageSide(f->lastAfile, {}), start, error);
  if (!job.begun()) return false;
  if (hot) {
    // One manager session stands for the fifty jobs; each has its own time
    // and archive files.
    for (uint32_t j = 0; j < kHotJobs; ++j) {
      const uint32_t now = start + 60 * j;
      clock.Set(now);
      for (uint32_t half = 0; half < 2; ++half)
        if (!job.Hit(Batch(workload, half * kBatchSize, now, loaded + 2 * j + 1 + half)))
          return false;
    }
    f->pruned = {f->lastAfile - 1, f->lastAfile};
  } else {
    for (uint64_t b = 0; b < workload.loadBatches(); ++b)
      if (!job.Hit(Batch(workload, b * kBatchSize, start, loaded + static_cast<uint32_t>(b) + 1)))
        return false;
    f->pruned = {loaded + 1, loaded + 2};
  }
  return true;
}

bool Build(const std::string& root, uint64_t records, History history, CldbFixture* f,
           std::string* error) {
  const Workload workload(records);
  const double began = MonotonicSeconds();
  const uint32_t loadTime = ZelNow32() - 3 * kSecondsPerDay;
  PastClock clock(loadTime);
  f->records = workload.records();
  f->lastAfile = f->liveAfiles = workload.afiles();
  f->pruned = {1, 2};
  if (!Load(root, workload, clock, loadTime, error)) return false;
  if (history != History::kFresh &&
      !Repoint(root, workload, history, clock, loadTime + 3600, f, error))
    return false;
  f->buildSeconds = MonotonicSeconds() - began;
  return true;
}

bool WriteDescription(const std::string& path, const CldbFixture& f) {
  std::ofstream out(path);
  out << "format " << kFormat << "\nrecords " << f.records << "\nlast_afile " << f.lastAfile
      << "\nlive_afiles " << f.liveAfiles << "\npruned " << f.pruned[0] << " " << f.pruned[1]
      << "\nbuild_seconds " << f.buildSeconds << "\n";
  out.close();
  return static_cast<bool>(out);
}

bool ReadDescription(const std::string& path, CldbFixture* f) {
  std::ifstream in(path);
  std::string word;
  int format = 0;
  f->pruned.assign(2, 0);
  while (in >> word) {
    if (word == "format")
      in >> format;
    else if (word == "records")
      in >> f->records;
    else if (word == "last_afile")
      in >> f->lastAfile;
    else if (word == "live_afiles")
      in >> f->liveAfiles;
    else if (word == "pruned")
      in >> f->pruned[0] >> f->pruned[1];
    else if (word == "build_seconds")
      in >> f->buildSeconds;
  }
  return format == kFormat && f->records != 0;
}

}  // namespace

const char* HistoryName(History history) {
  switch (history) {
    case History::kFresh:
      return "fresh";
    case History::kHotRepointed:
      return "hot";
    case History::kAllRepointed:
      return "repointed";
  }
  return "?";
}

bool GetFixture(const std::string& cacheDir, uint64_t records, History history, CldbFixture* out,
                std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(cacheDir, ec);
  const std::string name = cacheDir + "/cldb-" + std::to_string(Workload(records).records()) + "-" +
                           HistoryName(history) + "-f" + std::to_string(kFormat);
  out->root = name + "/root";
  if (ReadDescription(name + "/fixture.txt", out)) return true;
  // Built aside and renamed into place, so that an interrupted build is
  // never taken for a finished one.
  const std::string building = name + ".building-" + std::to_string(getpid());
  std::filesystem::remove_all(building, ec);
  std::filesystem::remove_all(name, ec);
  if (mkdir(building.c_str(), 0700) != 0) {
    *error = building + ": " + strerror(errno);
    return false;
  }
  fprintf(stderr, "building the %s CLDB of %llu records in %s...\n", HistoryName(history),
          static_cast<unsigned long long>(records), name.c_str());
  if (!Build(building + "/root", records, history, out, error) ||
      !WriteDescription(building + "/fixture.txt", *out) ||
      rename(building.c_str(), name.c_str()) != 0) {
    if (error->empty()) *error = name + ": " + strerror(errno);
    std::filesystem::remove_all(building, ec);
    return false;
  }
  fprintf(stderr, "built in %.1f s\n", out->buildSeconds);
  return true;
}

std::string CldbFolder(const std::string& root) {
  return root + "/ZEL_CLDB_APP_" + std::to_string(kCldbId) + "_" + std::to_string(kCopyId);
}

_CCLDBTableManagerArgs JobArgs(const std::string& root, EvDebug* log, uint32_t startTime) {
  _CCLDBTableManagerArgs args;
  args.rootFolderKey = root;  // an absolute path names the folder itself
  args.SIDBStoreId = kStoreId;
  args.jobId = 1;
  args.cldbId = kCldbId;
  args.copyId = kCopyId;
  args.evDebug = log;
  args.sigType = kSigType;
  args.expiryDays = kExpiryDays;
  args.backupStartTime = startTime;
  args.dbSizeMB = 4096;
  return args;
}

std::shared_ptr<cldb::InMemoryStorageBackend> StorageSide(uint32_t lastAfile,
                                                          const std::vector<uint32_t>& dropped) {
  auto storage = std::make_shared<cldb::InMemoryStorageBackend>();
  storage->SetClientDirty(kCldbId, 0);
  std::vector<int> valid;
  valid.reserve(lastAfile);
  for (uint32_t id = 1; id <= lastAfile; ++id)
    if (std::find(dropped.begin(), dropped.end(), id) == dropped.end())
      valid.push_back(static_cast<int>(id));
  storage->SetValidAFiles(kCldbId, std::move(valid));
  return storage;
}

}  // namespace bench
