// cldb_manager_bench: query batches through the library's main entry,
// CCLDBTableManager, side by side with the same batches on direct LMDB in the
// engine's layout (the ceiling of the engine, as in cldb_bench).
//
// The manager path adds what a caller pays above the cache table: the count
// check, the pruning-stop test, the instance's critical section and one
// engine transaction per batch. Both stores are loaded with the same records
// (cldb_bench's workload); every iteration hands the same batch of 1,000 to
// each in turn and times each call by the thread's CPU time.
//
//   cldb_manager_bench [--records=N] [--dir=PATH] [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>
#include <xercesc/util/PlatformUtils.hpp>

#include "Backend.h"
#include "Workload.h"
#include "cldb/CLDBTableManager.h"
#include "platform/EvDebug.h"
#include "support/InMemoryStorageBackend.h"

namespace bench {
namespace {

struct Stores {
  std::string root;
  EvDebug log;
  CCLDBTableManager manager;
  std::unique_ptr<Backend> lmdb = MakeLmdbBackend();
  std::unique_ptr<Workload> workload;
  Progress progress;
  uint32_t now = static_cast<uint32_t>(time(nullptr));
};

Stores* gStores = nullptr;

double ThreadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Creates both stores and loads them with the workload's records.
bool SetUp(Stores& s, uint64_t records) {
  s.log.SetThreshold(-2);  // keep the library's log out of the output
  s.workload = std::make_unique<Workload>(records);
  _CCLDBTableManagerArgs args;
  args.rootFolderKey = s.root + "/cldb";
  args.SIDBStoreId = 1;
  args.jobId = 1;
  args.cldbId = 1;
  args.copyId = 1;
  args.evDebug = &s.log;
  args.sigType = kSigType;
  args.expiryDays = kExpiryDays;
  args.backupStartTime = s.now;
  args.dbSizeMB = 4096;
  bool offline = false;
  // A storage side that knows nothing: the CLDB is created fresh.
  cldb::StorageBackend::Install(std::make_shared<cldb::InMemoryStorageBackend>());
  std::filesystem::create_directories(s.root + "/lmdb");
  if (s.manager.Initialize(args, offline) != 0 || s.lmdb->Create(s.root + "/lmdb") != 0)
    return false;
  std::vector<CacheRecordRef> batch(kBatchSize);
  for (uint64_t b = 0; b < s.workload->loadBatches(); ++b) {
    s.workload->LoadBatch(b, s.now, batch.data());
    if (s.manager.InsertSignature(batch.data(), kBatchSize) != 0 ||
        s.lmdb->Insert(batch.data(), kBatchSize) != 0)
      return false;
  }
  return true;
}

// One benchmark: `fill` makes the next batch; `hits` is the answer both
// stores must give for every batch.
template <typename Fill>
void RunQueries(benchmark::State& state, Fill fill, int hits) {
  Stores& s = *gStores;
  std::vector<CacheRecordRef> refs(kBatchSize);
  std::vector<CLDBQuerySignature> queries(kBatchSize);
  double managerSeconds = 0, lmdbSeconds = 0;
  for (auto _ : state) {
    fill(s, refs.data());
    for (int i = 0; i < kBatchSize; ++i) queries[i].record = refs[i];
    const bool managerFirst = state.iterations() % 2 == 0;
    int managerHits = -1, lmdbHits = -1;
    double managerDelta = 0;
    for (int turn = 0; turn < 2; ++turn) {
      const double start = ThreadSeconds();
      if ((turn == 0) == managerFirst) {
        if (s.manager.QuerySignature(queries.data(), kBatchSize) == 0) {
          managerHits = 0;
          for (const CLDBQuerySignature& q : queries) managerHits += q.found;
        }
        managerDelta = ThreadSeconds() - start;
        managerSeconds += managerDelta;
      } else {
        lmdbHits = s.lmdb->Query(refs.data(), kBatchSize);
        lmdbSeconds += ThreadSeconds() - start;
      }
    }
    if (managerHits != hits || lmdbHits != hits) {
      state.SkipWithError("a store gave a wrong answer");
      return;
    }
    state.SetIterationTime(managerDelta);
  }
  const double ops = static_cast<double>(state.iterations()) * kBatchSize;
  state.counters["Manager/s"] = ops / managerSeconds;
  state.counters["LMDB/s"] = ops / lmdbSeconds;
  state.counters["time_vs_LMDB"] = managerSeconds / lmdbSeconds;
}

void QueryMiss(benchmark::State& state) {
  RunQueries(
      state, [](Stores& s, CacheRecordRef* out) { s.workload->MissBatch(s.progress, s.now, out); },
      0);
}

void QueryHit(benchmark::State& state) {
  RunQueries(
      state, [](Stores& s, CacheRecordRef* out) { s.workload->HitBatch(s.progress, s.now, out); },
      kBatchSize);
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  uint64_t records = 1000000;
  std::string dir = getenv("CLDB_BENCH_DIR") ? getenv("CLDB_BENCH_DIR") : "/tmp";
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], "--records=", 10) == 0)
      records = strtoull(argv[i] + 10, nullptr, 10);
    else if (strncmp(argv[i], "--dir=", 6) == 0)
      dir = argv[i] + 6;
    else
      rest.push_back(argv[i]);
  }
  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());

  xercesc::XMLPlatformUtils::Initialize();
  char root[4096];
  snprintf(root, sizeof(root), "%s/cldb-manager-bench-XXXXXX", dir.c_str());
  if (mkdtemp(root) == nullptr) {
    fprintf(stderr, "cldb_manager_bench: cannot make a folder in %s\n", dir.c_str());
    return 1;
  }
  int rc = 0;
  {
    bench::Stores stores;
    stores.root = root;
    if (!bench::SetUp(stores, records)) {
      fprintf(stderr, "cldb_manager_bench: loading the stores failed\n");
      rc = 1;
    } else {
      bench::gStores = &stores;
      benchmark::RegisterBenchmark("ManagerQueryMiss", bench::QueryMiss)
          ->Iterations(300)
          ->UseManualTime();
      benchmark::RegisterBenchmark("ManagerQueryHit", bench::QueryHit)
          ->Iterations(60)
          ->UseManualTime();
      benchmark::RunSpecifiedBenchmarks();
      stores.manager.Uninitialize(false);
    }
  }
  xercesc::XMLPlatformUtils::Terminate();
  std::filesystem::remove_all(root);
  benchmark::Shutdown();
  return rc;
}
