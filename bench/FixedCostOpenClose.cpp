// Open and close of the cache table, beside a bare LMDB open and close of
// the same file and one read and CRC-64 of it (the seal check's work).
#include <fcntl.h>
#include <lmdb.h>
#include <unistd.h>

#include <vector>

#include "Backend.h"
#include "FileTools.h"
#include "FixedCost.h"
#include "cldb/CacheTable.h"
#include "platform/CTkCRC64.h"
#include "platform/Clock.h"
#include "platform/EvDebug.h"

namespace bench {
namespace {

// The product path: CCacheTable set up and opened as CCLDBTables::Open does
// it, then closed.
bool EngineOpenClose(const std::string& root, uint64_t records, Samples& samples) {
  EvDebug log;
  log.SetThreshold(-2);
  CCacheTable table;
  const Stopwatch all;
  table.Initialize(1, kSigType, &log, 0, kExpiryDays, ZelNow32(), false);
  if (table.initialize((CldbFolder(root) + "/CacheTable").c_str()) != 0 ||
      table.Open(ZelIndexing::kReadWrite) != 0)
    return false;
  const double open = all.Wall();
  const bool whole = table.getRecordCount() == static_cast<long long>(records);
  const Stopwatch closing;
  if (table.close() != 0 || !whole) return false;
  samples.Add("open_s", open);
  samples.Add("close_s", closing.Wall());
  samples.Add("openclose_s", all.Wall());
  samples.Add("openclose_cpu_s", all.Cpu());
  return true;
}

// What LMDB alone pays: the environment opened with the engine's flags (its
// map just covering the file), the record count read in a read-only
// transaction, a sync and the close. It changes nothing in the file, so the
// seal still vouches for it.
bool LmdbOpenClose(const std::string& root, Samples& samples) {
  const Stopwatch all;
  MDB_env* env = nullptr;
  MDB_txn* txn = nullptr;
  MDB_dbi dbi;
  MDB_stat st;
  int rc = mdb_env_create(&env);
  if (!rc) rc = mdb_env_set_maxdbs(env, 10);
  if (!rc) rc = mdb_env_set_mapsize(env, FileBytes(DataFile(root)));
  if (!rc)
    rc = mdb_env_open(env, DataFile(root).c_str(), MDB_NOSUBDIR | MDB_NOSYNC | MDB_NOTLS, 0600);
  if (!rc) rc = mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
  if (!rc) rc = mdb_dbi_open(txn, "records", 0, &dbi);
  if (!rc) rc = mdb_stat(txn, dbi, &st);
  if (txn) mdb_txn_abort(txn);
  if (!rc) rc = mdb_env_sync(env, 1);
  if (env) mdb_env_close(env);
  samples.Add("lmdb_s", all.Wall());
  return rc == 0;
}

// One read and CRC-64 of the whole file in 1 MiB chunks.
bool ReadAndCrc(const std::string& root, Samples& samples) {
  const Stopwatch all;
  const int fd = open(DataFile(root).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<unsigned char> buffer(size_t{1} << 20);
  CTkCRC64 crc;
  ssize_t got = 0;
  for (off_t at = 0; (got = pread(fd, buffer.data(), buffer.size(), at)) > 0; at += got)
    crc.UpdateCRC64(buffer.data(), static_cast<unsigned>(got));
  close(fd);
  benchmark::DoNotOptimize(crc.GetCRC64());
  samples.Add("readcrc_s", all.Wall());
  return got == 0;
}

}  // namespace

void OpenClose(benchmark::State& state, uint64_t records, Cache cache) {
  CldbFixture f;
  if (!Fixture(state, records, History::kFresh, &f)) return;
  const std::string root = Copy(state, f, "openclose");
  if (root.empty()) return;
  Samples samples;
  for (auto _ : state) {
    for (int turn = 0; turn < 3; ++turn) {
      const int side = static_cast<int>((state.iterations() + turn) % 3);
      Prepare(CldbFolder(root), cache);
      if (side == 0) samples.Add("resident_before", ResidentShare(DataFile(root)));
      const bool ok = side == 0   ? EngineOpenClose(root, f.records, samples)
                      : side == 1 ? LmdbOpenClose(root, samples)
                                  : ReadAndCrc(root, samples);
      if (!ok) return Fail(state, "an open, close or read failed");
    }
    state.SetIterationTime(samples.Last("openclose_s"));
  }
  samples.Report(state);
  state.counters["vs_lmdb"] = samples.Median("openclose_s") / samples.Median("lmdb_s");
  state.counters["file_MB"] = static_cast<double>(FileBytes(DataFile(root))) / 1e6;
  state.counters["records"] = static_cast<double>(f.records);
}

}  // namespace bench
