// cldb_fixed_bench: the fixed cost of a job, the part that grows with the
// CLDB and not with the job: opening and closing the cache table, one tiny
// job end to end through CCLDBTableManager, the pruning pass, and
// compaction, each beside a reference where there is one. See README.md
// ("Fixed cost per job") for how to run it and what it measures.
//
// Flags of its own, taken out before Google Benchmark reads the rest:
//   --sizes=LIST  records per CLDB, a comma list of numbers, each with an
//                 optional k or M (default 1M)
//   --runs=N      iterations of each benchmark (default 3)
//   --cache=PATH  where built CLDBs are kept between runs (default
//                 $CLDB_BENCH_CACHE, else /tmp/cldb-bench-cache)
//   --dir=PATH    where the working copies go (default $CLDB_BENCH_DIR, else
//                 /tmp); removed at exit
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <xercesc/util/PlatformUtils.hpp>

#include "FixedCost.h"
#include "platform/EvDebug.h"

namespace bench {
namespace {

// "1M", "250k" or "1000000"; 0 when malformed.
uint64_t ParseSize(const std::string& text) {
  char* end = nullptr;
  uint64_t n = strtoull(text.c_str(), &end, 10);
  if (end == text.c_str()) return 0;
  if (*end == 'k')
    n *= 1000, ++end;
  else if (*end == 'M')
    n *= 1000000, ++end;
  return *end == '\0' ? n : 0;
}

std::string SizeName(uint64_t n) {
  if (n % 1000000 == 0) return std::to_string(n / 1000000) + "M";
  if (n % 1000 == 0) return std::to_string(n / 1000) + "k";
  return std::to_string(n);
}

bool TakeSizes(const std::string& list, FixedCostOptions& options) {
  options.sizes.clear();
  std::string rest = list + ",";
  for (size_t comma; (comma = rest.find(',')) != std::string::npos; rest.erase(0, comma + 1)) {
    const uint64_t n = ParseSize(rest.substr(0, comma));
    if (n < 20000) return false;  // the pruning fixtures need room
    options.sizes.push_back(n);
  }
  return !options.sizes.empty();
}

// Takes our flags out of argv; false on a malformed one. *dir gets --dir.
bool TakeOptions(int& argc, char** argv, FixedCostOptions& options, std::string* dir) {
  const char* cache = getenv("CLDB_BENCH_CACHE");
  const char* work = getenv("CLDB_BENCH_DIR");
  options.cache = cache && *cache ? cache : "/tmp/cldb-bench-cache";
  *dir = work && *work ? work : "/tmp";
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (strncmp(arg, "--sizes=", 8) == 0) {
      if (!TakeSizes(arg + 8, options)) return false;
    } else if (strncmp(arg, "--runs=", 7) == 0) {
      options.runs = atoi(arg + 7);
      if (options.runs < 1) return false;
    } else if (strncmp(arg, "--cache=", 8) == 0) {
      options.cache = arg + 8;
    } else if (strncmp(arg, "--dir=", 6) == 0) {
      *dir = arg + 6;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  return true;
}

template <typename Fn>
void Add(const std::string& name, Fn fn) {
  benchmark::RegisterBenchmark(name.c_str(), fn)
      ->Iterations(gFixedCost.runs)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

void Register() {
  for (uint64_t n : gFixedCost.sizes) {
    const std::string size = SizeName(n);
    for (Cache c : {Cache::kWarm, Cache::kCold})
      Add("OpenClose/" + size + "/" + CacheName(c),
          [n, c](benchmark::State& s) { OpenClose(s, n, c); });
    for (Cache c : {Cache::kWarm, Cache::kCold})
      Add("Job/" + size + "/" + CacheName(c), [n, c](benchmark::State& s) { Job(s, n, c); });
    for (History h : {History::kFresh, History::kHotRepointed, History::kAllRepointed})
      for (Cache c : {Cache::kWarm, Cache::kCold})
        Add("Prune/" + size + "/" + HistoryName(h) + "/" + CacheName(c),
            [n, h, c](benchmark::State& s) { Prune(s, n, h, c); });
    for (Cache c : {Cache::kWarm, Cache::kCold})
      Add("Compact/" + size + "/" + CacheName(c),
          [n, c](benchmark::State& s) { Compact(s, n, c); });
  }
}

int Main(int argc, char** argv) {
  std::string dir;
  if (!TakeOptions(argc, argv, gFixedCost, &dir)) {
    fprintf(stderr,
            "usage: %s [--sizes=1M,10M (each at least 20k)] [--runs=N] [--cache=PATH]"
            " [--dir=PATH] [benchmark flags]\n",
            argv[0]);
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  EvDebug::SetDefaultThreshold(0);  // the engine's own notes stay quiet, errors do not
  gFixedCost.work = dir + "/cldb-fixed-XXXXXX";
  if (!mkdtemp(&gFixedCost.work[0])) {
    perror(gFixedCost.work.c_str());
    return 1;
  }
  xercesc::XMLPlatformUtils::Initialize();
  benchmark::AddCustomContext("CLDB cache", gFixedCost.cache);
  benchmark::AddCustomContext("working copies", gFixedCost.work);
  benchmark::AddCustomContext("times", "wall clock; counters are medians of the iterations");
  Register();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  xercesc::XMLPlatformUtils::Terminate();
  std::error_code ec;
  std::filesystem::remove_all(gFixedCost.work, ec);
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) { return bench::Main(argc, argv); }
