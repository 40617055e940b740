// Compaction of a closed CLDB (CCLDBTables::CompactCacheTable, that is
// CCacheTable::MakeCompactDB) beside a plain compacting copy of the same
// file (mdb_env_copy2 with MDB_CP_COMPACT, then fsync), each on a working
// copy of its own.
#include <fcntl.h>
#include <lmdb.h>
#include <unistd.h>

#include "FileTools.h"
#include "FixedCost.h"
#include "cldb/CLDBTables.h"
#include "platform/EvDebug.h"

namespace bench {
namespace {

bool EngineCompact(const std::string& root, Samples& samples) {
  EvDebug log;
  log.SetThreshold(-2);
  CCLDBTables tables;
  const Stopwatch all;
  if (tables.CompactCacheTable(&log, CldbFolder(root).c_str()) != 0) return false;
  samples.Add("compact_s", all.Wall());
  samples.Add("compact_cpu_s", all.Cpu());
  samples.Add("compacted_MB", static_cast<double>(FileBytes(DataFile(root))) / 1e6);
  return true;
}

// The copy is made as durable as the engine makes its result: synced.
bool LmdbCompactingCopy(const std::string& root, Samples& samples) {
  const std::string copy = DataFile(root) + ".copy";
  unlink(copy.c_str());
  const Stopwatch all;
  MDB_env* env = nullptr;
  int rc = mdb_env_create(&env);
  if (!rc) rc = mdb_env_set_maxdbs(env, 10);
  if (!rc) rc = mdb_env_set_mapsize(env, FileBytes(DataFile(root)));  // the file, no more
  if (!rc) rc = mdb_env_open(env, DataFile(root).c_str(), MDB_RDONLY | MDB_NOSUBDIR, 0600);
  if (!rc) rc = mdb_env_copy2(env, copy.c_str(), MDB_CP_COMPACT);
  if (env) mdb_env_close(env);
  const int fd = rc ? -1 : open(copy.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (!synced) return false;
  samples.Add("copy_s", all.Wall());
  samples.Add("copied_MB", static_cast<double>(FileBytes(copy)) / 1e6);
  return true;
}

}  // namespace

void Compact(benchmark::State& state, uint64_t records, Cache cache) {
  CldbFixture f;
  if (!Fixture(state, records, History::kFresh, &f)) return;
  Samples samples;
  for (auto _ : state) {
    const std::string roots[2] = {Copy(state, f, "compact-engine"), Copy(state, f, "compact-lmdb")};
    if (roots[0].empty() || roots[1].empty()) return;
    for (int turn = 0; turn < 2; ++turn) {
      const int side = static_cast<int>((state.iterations() + turn) % 2);
      Prepare(CldbFolder(roots[side]), cache);
      const bool ok =
          side == 0 ? EngineCompact(roots[0], samples) : LmdbCompactingCopy(roots[1], samples);
      if (!ok) return Fail(state, side == 0 ? "compaction failed" : "LMDB copy failed");
    }
    state.SetIterationTime(samples.Last("compact_s"));
  }
  samples.Report(state);
  state.counters["vs_copy"] = samples.Median("compact_s") / samples.Median("copy_s");
  state.counters["file_MB"] = static_cast<double>(FileBytes(DataFile(f.root))) / 1e6;
  state.counters["records"] = static_cast<double>(f.records);
}

}  // namespace bench
