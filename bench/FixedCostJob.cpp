// A tiny job end to end through CCLDBTableManager, and the pruning pass on
// its own, on CLDBs with and without stale archive-file index entries.
#include <vector>

#include "Backend.h"
#include "FileTools.h"
#include "FixedCost.h"
#include "Workload.h"
#include "cldb/CLDBTableManager.h"
#include "platform/Clock.h"
#include "platform/EvDebug.h"
#include "support/InMemoryStorageBackend.h"

namespace bench {
namespace {

constexpr int kJobBlocks = 4;  // hits, and as many new blocks
// What pruning deletes in every fixture: the two dropped archive files.
constexpr int64_t kPrunedRecords = 2 * kRecordsPerAfile;

// A job on the CLDB under `root` whose storage side has dropped the
// fixture's two archive files; the manager is opened by Open().
class JobOn {
 public:
  JobOn(const CldbFixture& f, const std::string& root, uint32_t now)
      : args_(JobArgs(root, &log_, now)) {
    log_.SetThreshold(-2);  // the library's log stays out of the report
    cldb::StorageBackend::Install(StorageSide(f.lastAfile, f.pruned));
  }
  bool Open() {
    bool offline = false;
    return manager_.Initialize(args_, offline) == 0;
  }
  CCLDBTableManager& manager() { return manager_; }

 private:
  EvDebug log_;
  _CCLDBTableManagerArgs args_;
  CCLDBTableManager manager_;
};

// The tool's order: open, prune, queries and insertions, close. Queries
// ask for kJobBlocks stored blocks and kJobBlocks new ones, which are then
// inserted into the job's archive file.
bool TinyJob(const CldbFixture& f, const std::string& root, Samples& samples) {
  const Workload workload(f.records);
  const uint32_t now = ZelNow32();
  const uint32_t afile = f.lastAfile + 1;
  std::vector<CLDBQuerySignature> queries(2 * kJobBlocks);
  std::vector<CacheRecordRef> fresh(kJobBlocks);
  for (int i = 0; i < kJobBlocks; ++i) {
    workload.StoredBlock(f.records - 1 - i, now, afile, queries[i].record);
    workload.NeverStoredBlock(i, now, afile, fresh[i]);
    queries[kJobBlocks + i].record = fresh[i];
  }
  JobOn job(f, root, now);
  CCLDBTableManager& manager = job.manager();
  const Stopwatch all;
  if (!job.Open()) return false;
  const double opened = all.Wall();
  if (manager.PruneExpiredRecords(now) != 0) return false;
  const double pruned = all.Wall();
  if (manager.QuerySignature(queries.data(), static_cast<int>(queries.size())) != 0 ||
      manager.InsertSignature(fresh.data(), kJobBlocks) != 0)
    return false;
  const double worked = all.Wall();
  manager.Uninitialize(true);
  samples.Add("initialize_s", opened);
  samples.Add("prune_s", pruned - opened);
  samples.Add("queries_s", worked - pruned);
  samples.Add("uninitialize_s", all.Wall() - worked);
  samples.Add("job_s", all.Wall());
  samples.Add("job_cpu_s", all.Cpu());
  int hits = 0;
  for (const CLDBQuerySignature& q : queries) hits += q.found;
  const EngineCounts after = CountEntries(DataFile(root));
  return hits == kJobBlocks &&
         after.records == static_cast<int64_t>(f.records) - kPrunedRecords + kJobBlocks;
}

}  // namespace

void Job(benchmark::State& state, uint64_t records, Cache cache) {
  CldbFixture f;
  if (!Fixture(state, records, History::kFresh, &f)) return;
  Samples samples;
  for (auto _ : state) {
    const std::string root = Copy(state, f, "job");
    if (root.empty()) return;
    Prepare(CldbFolder(root), cache);
    samples.Add("resident_before", ResidentShare(DataFile(root)));
    if (!TinyJob(f, root, samples)) return Fail(state, "the job went wrong");
    state.SetIterationTime(samples.Last("job_s"));
  }
  samples.Report(state);
  state.counters["file_MB"] = static_cast<double>(FileBytes(DataFile(f.root))) / 1e6;
  state.counters["records"] = static_cast<double>(f.records);
}

// The pass of PruneExpiredRecords alone, timed between the manager's
// Initialize and Uninitialize. What it visited is read from the file before
// and after: one seek per archive file that holds records, every stale
// archive-file entry it passed (each is deleted as it goes), and the dropped
// files' records, each marked expired and then deleted.
void Prune(benchmark::State& state, uint64_t records, History history, Cache cache) {
  CldbFixture f;
  if (!Fixture(state, records, history, &f)) return;
  const EngineCounts before = CountEntries(DataFile(f.root));
  if (before.records < 0) return Fail(state, "cannot count the fixture's entries");
  Samples samples;
  for (auto _ : state) {
    const std::string root = Copy(state, f, "prune");
    if (root.empty()) return;
    Prepare(CldbFolder(root), cache);
    const uint32_t now = ZelNow32();
    JobOn job(f, root, now);
    const Stopwatch opening;
    if (!job.Open()) return Fail(state, "Initialize failed");
    samples.Add("initialize_s", opening.Wall());
    const Stopwatch pass;
    if (job.manager().PruneExpiredRecords(now) != 0)
      return Fail(state, "PruneExpiredRecords failed");
    samples.Add("prune_s", pass.Wall());
    samples.Add("prune_cpu_s", pass.Cpu());
    job.manager().Uninitialize(false);
    const EngineCounts after = CountEntries(DataFile(root));
    const int64_t deleted = before.records - after.records;
    if (deleted != kPrunedRecords) return Fail(state, "wrong number of records pruned");
    const int64_t stale =
        (before.afileEntries - before.records) - (after.afileEntries - after.records);
    const double visited = static_cast<double>(f.liveAfiles + stale + 2 * deleted);
    samples.Add("stale_passed", static_cast<double>(stale));
    samples.Add("visited", visited);
    samples.Add("us_per_visited", samples.Last("prune_s") / visited * 1e6);
    state.SetIterationTime(samples.Last("prune_s"));
  }
  samples.Report(state);
  state.counters["seeks"] = f.liveAfiles;
  state.counters["records_deleted"] = static_cast<double>(kPrunedRecords);
  state.counters["stale_before"] = static_cast<double>(before.afileEntries - before.records);
}

}  // namespace bench
