// cldb_bench: the cache table's micro-benchmarks, side by side with the same
// work done directly on LMDB and in SQLite. See README.md for how to run it
// and what it measures.
//
// Flags of its own, taken out before Google Benchmark reads the rest:
//   --records=N     records loaded into each backend (default 1,000,000)
//   --dir=PATH      where the temporary stores go (default $CLDB_BENCH_DIR,
//                   else /tmp); they are removed at exit
//   --real_time     rates from wall-clock time instead of the thread's CPU
//                   time (user and system: the commits' writes included)
//   --sqlite=LIST   the SQLite configurations to run, a comma list of
//                   "default" (the reference) and "tuned" (default: both;
//                   see SqliteBackend.cpp)
//   --cold          after set-up, drop every store's file from the page
//                   cache, so that all start from disk alike (by default
//                   each starts as its own open left it: the cache table's
//                   engine reads its whole file to check it)
//
// The backends run interleaved at the grain of one batch: every iteration of
// a benchmark hands the same batch to each backend in turn, starting with a
// different one each time, and times each call on its own. A burst of load
// from elsewhere on the machine thus falls on all alike, and all hold the
// same contents throughout. The set-up loads them the same way, then
// measures their files, compacts them and measures again.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "AllocCounter.h"
#include "Backend.h"
#include "CacheRules.h"
#include "Summary.h"
#include "Workload.h"
#include "platform/EvDebug.h"

namespace bench {
namespace {

constexpr uint64_t kDefaultRecords = 1000000;
// Iterations (batches of 1,000) per repetition. Each insert batch grows the
// tables by 1,000 records; hits re-point records but add none.
constexpr int kMissBatches = 300;
constexpr int kHitBatches = 60;
constexpr int kInsertBatches = 60;
constexpr int kSeekRounds = 10;  // full seek scans
constexpr int kAfilesPerCleanUp = 5;
constexpr int64_t kCleanedPerIteration = int64_t{kAfilesPerCleanUp} * kRecordsPerAfile;

struct Options {
  uint64_t records = kDefaultRecords;
  std::string dir;
  bool realTime = false;
  std::string sqlite = "default,tuned";
  bool sqliteReference = true;
  bool sqliteTuned = true;
  bool cold = false;
};

Options gOptions;
const Workload* gWorkload = nullptr;
Progress gProgress;  // shared: every backend gets the same batches
std::vector<std::unique_ptr<Backend>> gBackends;
std::vector<BackendKind> gKinds;  // of gBackends, index by index
CacheRecordRef gBatch[kBatchSize];

// Takes the value of --sqlite; false when it names anything but "default"
// and "tuned", or neither.
bool TakeSqliteList(const char* list, Options& options) {
  options.sqlite = list;
  options.sqliteReference = options.sqliteTuned = false;
  std::string rest = std::string(list) + ",";
  for (size_t comma; (comma = rest.find(',')) != std::string::npos; rest.erase(0, comma + 1)) {
    const std::string item = rest.substr(0, comma);
    if (item == "default")
      options.sqliteReference = true;
    else if (item == "tuned")
      options.sqliteTuned = true;
    else
      return false;
  }
  return options.sqliteReference || options.sqliteTuned;
}

// Takes our flags out of argv; false on a malformed one.
bool TakeOptions(int& argc, char** argv, Options& options) {
  const char* env = getenv("CLDB_BENCH_DIR");
  options.dir = env && *env ? env : "/tmp";
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (strncmp(arg, "--records=", 10) == 0) {
      char* end = nullptr;
      options.records = strtoull(arg + 10, &end, 10);
      if (*end != '\0' || options.records < 20 * kRecordsPerAfile) return false;
    } else if (strncmp(arg, "--dir=", 6) == 0) {
      options.dir = arg + 6;
    } else if (strcmp(arg, "--real_time") == 0) {
      options.realTime = true;
    } else if (strcmp(arg, "--cold") == 0) {
      options.cold = true;
    } else if (strncmp(arg, "--sqlite=", 9) == 0) {
      if (!TakeSqliteList(arg + 9, options)) return false;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  return true;
}

// Seconds on the clock that rates are taken from.
double ClockSeconds() {
  timespec ts;
  clock_gettime(gOptions.realTime ? CLOCK_MONOTONIC : CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// What one backend did during one benchmark run.
struct Tally {
  double seconds = 0;
  int64_t items = 0;
  int64_t result = 0;  // of its last call
  AllocCounts allocs;
};

// Commits what every backend left pending, untimed (after untimed work);
// false on failure.
bool FlushAll() {
  for (const auto& b : gBackends)
    if (b->Flush() != 0) return false;
  return true;
}

// Hands each call to every backend in turn, timing each on its own. A call
// returns the items it processed, or -1 when it failed or found the backend
// in a state other than expected. What a backend left pending before the
// benchmark is committed untimed at its start; what the benchmark's own
// calls left pending is committed at its end, timed as theirs.
class SideBySide {
 public:
  explicit SideBySide(benchmark::State& state) : state_(state), tallies_(gBackends.size()) {
    if (!FlushAll()) state_.SkipWithError("a commit before the benchmark failed");
  }

  template <typename Call>
  bool Run(const char* what, Call call) {
    const size_t n = gBackends.size();
    double total = 0;
    for (size_t k = 0; k < n; ++k) {
      const size_t i = (round_ + k) % n;
      Tally& t = tallies_[i];
      const AllocCounts before = CurrentAllocCounts();
      const double start = ClockSeconds();
      const int64_t items = call(*gBackends[i]);
      const double elapsed = ClockSeconds() - start;
      const AllocCounts after = CurrentAllocCounts();
      if (items < 0) return Fail(what, *gBackends[i]);
      t.seconds += elapsed;
      total += elapsed;
      t.items += items;
      t.result = items;
      t.allocs.news += after.news - before.news;
      t.allocs.mallocs += after.mallocs - before.mallocs;
    }
    ++round_;
    state_.SetIterationTime(total);
    return true;
  }

  int64_t LastResult(size_t backend) const { return tallies_[backend].result; }

  // Commits what the calls left pending, checks that the backends ended
  // with the same contents, and reports.
  void Finish() {
    for (size_t i = 0; i < gBackends.size(); ++i) {
      const double start = ClockSeconds();
      if (gBackends[i]->Flush() != 0) return (void)Fail("the last commit failed on", *gBackends[i]);
      tallies_[i].seconds += ClockSeconds() - start;
    }
    const int64_t records = gBackends[0]->RecordCount();
    for (const auto& b : gBackends)
      if (b->RecordCount() != records) return (void)Fail("record counts differ after", *b);
    for (size_t i = 0; i < gBackends.size(); ++i) Report(kBackendTags[gKinds[i]], tallies_[i]);
    const double cct = SecondsPerItem(kCacheTable);
    Ratio("time_vs_LMDB", cct, SecondsPerItem(kLmdb));
    for (BackendKind sqlite : {kSqlite, kSqliteTuned})
      Ratio(std::string("speed_vs_") + kBackendTags[sqlite], SecondsPerItem(sqlite), cct);
  }

 private:
  bool Fail(const char* what, const Backend& backend) {
    const std::string text = std::string(what) + " " + backend.name();
    state_.SkipWithError(text.c_str());
    return false;
  }

  // 0 when the backend did not run.
  double SecondsPerItem(BackendKind kind) const {
    for (size_t i = 0; i < gKinds.size(); ++i)
      if (gKinds[i] == kind) return tallies_[i].seconds / tallies_[i].items;
    return 0;
  }

  void Ratio(const std::string& counter, double numerator, double denominator) {
    if (numerator > 0 && denominator > 0) state_.counters[counter] = numerator / denominator;
  }

  // Operator new is counted for the cache table only: the C libraries
  // behind the others never call it.
  void Report(const std::string& tag, const Tally& t) {
    state_.counters[tag + "/s"] = t.items / t.seconds;
    if (!AllocCountingEnabled()) return;
    if (tag == kBackendTags[kCacheTable])
      state_.counters[tag + "_new/op"] = static_cast<double>(t.allocs.news) / t.items;
    state_.counters[tag + "_malloc/op"] = static_cast<double>(t.allocs.mallocs) / t.items;
  }

  benchmark::State& state_;
  std::vector<Tally> tallies_;
  size_t round_ = 0;
};

// A batch of queries that must all hit, or all miss.
void Queries(benchmark::State& state, bool hits) {
  SideBySide run(state);
  const int wanted = hits ? kBatchSize : 0;
  for (auto _ : state) {
    if (hits)
      gWorkload->HitBatch(gProgress, Now(), gBatch);
    else
      gWorkload->MissBatch(gProgress, Now(), gBatch);
    if (!run.Run("wrong hit count from", [wanted](Backend& b) -> int64_t {
          return b.Query(gBatch, kBatchSize) == wanted ? kBatchSize : -1;
        }))
      return;
  }
  run.Finish();
}

void QueryMiss(benchmark::State& state) { Queries(state, false); }

void QueryHit(benchmark::State& state) { Queries(state, true); }

void Insert(benchmark::State& state) {
  SideBySide run(state);
  for (auto _ : state) {
    gWorkload->InsertBatch(gProgress, Now(), gBatch);
    if (!run.Run("insert failed on", [](Backend& b) -> int64_t {
          return b.Insert(gBatch, kBatchSize) == 0 ? kBatchSize : -1;
        }))
      return;
  }
  run.Finish();
}

// One archive file (1,000 records) per iteration, in one transaction.
void MarkRecordsExpired(benchmark::State& state) {
  SideBySide run(state);
  for (auto _ : state) {
    const uint32_t afile = gWorkload->NextAfileToExpire(gProgress);
    if (afile == 0) return state.SkipWithError("no archive file left to expire: more --records");
    if (!run.Run("expiry failed on", [afile](Backend& b) -> int64_t {
          return b.MarkExpired(afile) == 0 ? kRecordsPerAfile : -1;
        }))
      return;
  }
  run.Finish();
}

// Each iteration expires a few archive files (untimed) and deletes their
// records in one clean-up transaction. What an earlier benchmark left
// expired is cleaned up first, untimed.
void CleanUpExpiredSignatures(benchmark::State& state) {
  for (const auto& b : gBackends)
    if (b->CleanUp() < 0) return state.SkipWithError("first clean-up failed");
  if (!FlushAll()) return state.SkipWithError("a commit after the first clean-up failed");
  SideBySide run(state);
  for (auto _ : state) {
    for (int i = 0; i < kAfilesPerCleanUp; ++i) {
      const uint32_t afile = gWorkload->NextAfileToExpire(gProgress);
      if (afile == 0) return state.SkipWithError("no archive file left to expire: more --records");
      for (const auto& b : gBackends)
        if (b->MarkExpired(afile) != 0) return state.SkipWithError("expiry failed");
    }
    if (!FlushAll()) return state.SkipWithError("a commit after expiry failed");
    if (!run.Run("wrong clean-up count from", [](Backend& b) -> int64_t {
          return b.CleanUp() == kCleanedPerIteration ? kCleanedPerIteration : -1;
        }))
      return;
  }
  run.Finish();
}

// One seek per archive file, in id order, in one transaction per iteration.
void FindFirstRecordByAfileId(benchmark::State& state) {
  SideBySide run(state);
  for (auto _ : state) {
    if (!run.Run("seek scan failed on", [](Backend& b) -> int64_t {
          const int64_t seeks = b.SeekEachAfile();
          return seeks > 0 ? seeks : -1;
        }))
      return;
    for (size_t i = 1; i < gBackends.size(); ++i)
      if (run.LastResult(i) != run.LastResult(0))
        return state.SkipWithError("the backends met different archive files");
  }
  state.counters["afiles"] = static_cast<double>(run.LastResult(0));
  run.Finish();
}

void Register() {
  const uint32_t afiles = gWorkload->afiles();
  struct Operation {
    const char* name;
    void (*run)(benchmark::State&);
    int64_t iterations;
  } const operations[] = {
      {"QueryMiss", QueryMiss, kMissBatches},
      {"QueryHit", QueryHit, kHitBatches},
      {"Insert", Insert, kInsertBatches},
      // These two use up archive files of the lower half: 50 per repetition
      // at a million records, so ten repetitions fit.
      {"MarkRecordsExpired", MarkRecordsExpired, std::clamp<int64_t>(afiles / 40, 1, 25)},
      {"CleanUpExpiredSignatures", CleanUpExpiredSignatures,
       std::clamp<int64_t>(afiles / 200, 1, 5)},
      {"FindFirstRecordByAfileId", FindFirstRecordByAfileId, kSeekRounds},
  };
  for (const Operation& op : operations)
    benchmark::RegisterBenchmark(op.name, op.run)
        ->Iterations(op.iterations)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

// Loads every backend with the same batches in turn, then measures, compacts
// and measures again.
bool SetUp(const std::string& root, std::vector<Footprint>& footprints) {
  std::vector<double> loading(gBackends.size(), 0);
  for (const auto& b : gBackends) {
    const std::string folder = root + "/" + b->name();
    std::filesystem::create_directories(folder);
    if (b->Create(folder) != 0) return false;
  }
  for (uint64_t batch = 0; batch < gWorkload->loadBatches(); ++batch) {
    gWorkload->LoadBatch(batch, Now(), gBatch);
    for (size_t k = 0; k < gBackends.size(); ++k) {
      const size_t i = (batch + k) % gBackends.size();
      const double start = ClockSeconds();
      if (gBackends[i]->Insert(gBatch, kBatchSize) != 0) return false;
      loading[i] += ClockSeconds() - start;
    }
  }
  const double records = static_cast<double>(gWorkload->records());
  for (size_t i = 0; i < gBackends.size(); ++i) {
    Backend& b = *gBackends[i];
    if (b.RecordCount() != static_cast<int64_t>(gWorkload->records())) return false;
    Footprint f;
    f.backend = b.name();
    f.tag = kBackendTags[gKinds[i]];
    f.loadPerSecond = records / loading[i];
    f.loadedBytesPerRecord = DiskBytes(b) / records;
    const double start = ClockSeconds();
    if (b.Compact() != 0) return false;
    f.compactSeconds = ClockSeconds() - start;
    f.compactedBytesPerRecord = DiskBytes(b) / records;
    footprints.push_back(f);
  }
  // Compaction leaves some files synced and some dirty in the page cache,
  // which changes what a later write costs the kernel; start all alike.
  sync();
  if (gOptions.cold)
    for (const auto& b : gBackends) EvictFromCache(*b);
  return true;
}

// The set-up's measurements, for the reports that do not print the summary.
void AddFootprintContext(const Footprint& f) {
  char text[160];
  snprintf(text, sizeof(text),
           "load %.0f records/s; %.1f bytes/record loaded, %.1f compacted (%.2f s)",
           f.loadPerSecond, f.loadedBytesPerRecord, f.compactedBytesPerRecord, f.compactSeconds);
  benchmark::AddCustomContext("footprint " + f.backend, text);
}

void Add(BackendKind kind, std::unique_ptr<Backend> backend) {
  gKinds.push_back(kind);
  gBackends.push_back(std::move(backend));
}

// What --sqlite chose, then the settings each store reports: what really ran.
void AddSettingsContext() {
  benchmark::AddCustomContext("SQLite settings", gOptions.sqlite);
  for (size_t i = 0; i < gBackends.size(); ++i)
    if (gKinds[i] == kSqlite || gKinds[i] == kSqliteTuned)
      benchmark::AddCustomContext(std::string("SQLite settings, ") + gBackends[i]->name(),
                                  gBackends[i]->Settings());
}

bool WantsConsole(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (strncmp(argv[i], "--benchmark_format=", 19) == 0 && strcmp(argv[i] + 19, "console") != 0)
      return false;
  return true;
}

int Main(int argc, char** argv) {
  if (!TakeOptions(argc, argv, gOptions)) {
    fprintf(stderr,
            "usage: %s [--records=N (at least 20000)] [--dir=PATH] [--real_time]"
            " [--sqlite=default|tuned|default,tuned] [--cold] [benchmark flags]\n",
            argv[0]);
    return 2;
  }
  const bool console = WantsConsole(argc, argv);  // Initialize takes the flag out
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  EvDebug::SetDefaultThreshold(0);  // the engine's own notes stay quiet, errors do not

  const Workload workload(gOptions.records);
  gWorkload = &workload;
  std::string root = gOptions.dir + "/cldb-bench-XXXXXX";
  if (!mkdtemp(&root[0])) {
    perror(root.c_str());
    return 1;
  }
  Add(kCacheTable, MakeCacheTableBackend());
  Add(kLmdb, MakeLmdbBackend());
  if (gOptions.sqliteReference) Add(kSqlite, MakeSqliteBackend(false));
  if (gOptions.sqliteTuned) Add(kSqliteTuned, MakeSqliteBackend(true));
  fprintf(stderr, "loading %llu records into each backend...\n",
          static_cast<unsigned long long>(workload.records()));
  std::vector<Footprint> footprints;
  const bool ready = SetUp(root, footprints);
  if (!ready) {
    fprintf(stderr, "set-up failed\n");
  } else {
    benchmark::AddCustomContext("records", std::to_string(workload.records()) + " in " +
                                               std::to_string(workload.afiles()) +
                                               " archive files, 1000 operations per transaction");
    benchmark::AddCustomContext("stores", root);
    benchmark::AddCustomContext("rates from",
                                gOptions.realTime ? "wall-clock time" : "thread CPU time");
    AddSettingsContext();
    benchmark::AddCustomContext("page cache at start", gOptions.cold ? "cold" : "as left by open");
    benchmark::AddCustomContext("allocation counting", AllocCountingEnabled() ? "on" : "off");
    for (const Footprint& f : footprints) AddFootprintContext(f);
    Register();
    if (console) {
      SummaryReporter reporter(footprints);
      benchmark::RunSpecifiedBenchmarks(&reporter);
    } else {
      benchmark::RunSpecifiedBenchmarks();
    }
  }
  benchmark::Shutdown();
  gBackends.clear();
  std::filesystem::remove_all(root);
  return ready ? 0 : 1;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) { return bench::Main(argc, argv); }
