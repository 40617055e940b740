// Shared parts of cldb_fixed_bench (FixedCostMain.cpp): the options, the
// page-cache states, the working copies and the per-iteration samples.
//
// Each benchmark iteration starts from a copy of a cached CLDB (CldbFixture.h)
// in a page-cache state of its own (warm or cold, FileTools.h), untimed, and
// times what a job pays by the wall clock.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "CldbFixture.h"

namespace bench {

struct FixedCostOptions {
  std::vector<uint64_t> sizes{1000000};
  int runs = 3;
  std::string cache;  // where built CLDBs are kept
  std::string work;   // this process's working folder
};
extern FixedCostOptions gFixedCost;

enum class Cache { kWarm, kCold };
const char* CacheName(Cache cache);
// Puts every file of `folder` in the page-cache state.
void Prepare(const std::string& folder, Cache cache);

// Wall-clock and processor (this thread's) seconds since it was made.
class Stopwatch {
 public:
  Stopwatch();
  double Wall() const;
  double Cpu() const;

 private:
  double wall_, cpu_;
};

// Per-iteration values; Report makes each a counter holding their median.
class Samples {
 public:
  void Add(const std::string& name, double value) { values_[name].push_back(value); }
  double Last(const std::string& name) const;
  double Median(const std::string& name) const;
  void Report(benchmark::State& state) const;

 private:
  std::map<std::string, std::vector<double>> values_;
};

// Fails the benchmark with `what`, and the hint that a CLDB cached before a
// change of the engine's files fails that way.
void Fail(benchmark::State& state, const std::string& what);

// The fixture, or the benchmark fails with the reason and false.
bool Fixture(benchmark::State& state, uint64_t records, History history, CldbFixture* f);
// A fresh working copy `name` of the fixture's CLDB; the copy's root, or ""
// after failing the benchmark.
std::string Copy(benchmark::State& state, const CldbFixture& f, const std::string& name);
std::string DataFile(const std::string& root);  // the cache table's file under a root

// The benchmarks, on a CLDB of `records` records.
void OpenClose(benchmark::State& state, uint64_t records, Cache cache);
void Job(benchmark::State& state, uint64_t records, Cache cache);
void Prune(benchmark::State& state, uint64_t records, History history, Cache cache);
void Compact(benchmark::State& state, uint64_t records, Cache cache);

}  // namespace bench
