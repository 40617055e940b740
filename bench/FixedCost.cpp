#include "FixedCost.h"

#include <time.h>

#include <algorithm>
#include <filesystem>

#include "FileTools.h"
#include "cldb/CacheTable.h"

namespace bench {

FixedCostOptions gFixedCost;

const char* CacheName(Cache cache) { return cache == Cache::kWarm ? "warm" : "cold"; }

void Prepare(const std::string& folder, Cache cache) {
  if (cache == Cache::kWarm)
    WarmFolder(folder);
  else
    EvictFolder(folder);
}

namespace {

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double MedianOf(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

Stopwatch::Stopwatch() : wall_(MonotonicSeconds()), cpu_(ThreadCpuSeconds()) {}
double Stopwatch::Wall() const { return MonotonicSeconds() - wall_; }
double Stopwatch::Cpu() const { return ThreadCpuSeconds() - cpu_; }

double Samples::Last(const std::string& name) const {
  auto it = values_.find(name);
  return it == values_.end() || it->second.empty() ? 0 : it->second.back();
}

double Samples::Median(const std::string& name) const {
  auto it = values_.find(name);
  return it == values_.end() ? 0 : MedianOf(it->second);
}

void Samples::Report(benchmark::State& state) const {
  for (const auto& [name, v] : values_) state.counters[name] = MedianOf(v);
}

void Fail(benchmark::State& state, const std::string& what) {
  const std::string text =
      what + " (a CLDB cached before a change of the engine's files fails so: remove " +
      gFixedCost.cache + " to rebuild it)";
  state.SkipWithError(text.c_str());
}

bool Fixture(benchmark::State& state, uint64_t records, History history, CldbFixture* f) {
  std::string error;
  if (GetFixture(gFixedCost.cache, records, history, f, &error)) return true;
  state.SkipWithError(error.c_str());
  return false;
}

// A copy is another file, which the copied seal does not vouch for: it is
// sealed as a copy of the cached table, as the library's migration does.
std::string Copy(benchmark::State& state, const CldbFixture& f, const std::string& name) {
  const std::string root = gFixedCost.work + "/" + name;
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  std::filesystem::create_directories(root, ec);
  std::string error;
  if (!CopyFolder(CldbFolder(f.root), CldbFolder(root), &error)) {
    state.SkipWithError(error.c_str());
    return "";
  }
  CCacheTable table;
  const std::string copy = CldbFolder(root) + "/CacheTable";
  if (table.initialize(copy.c_str()) == 0 &&
      table.SealAsCopyOf((CldbFolder(f.root) + "/CacheTable").c_str()) == 0)
    return root;
  Fail(state, "the copy of " + f.root + " could not be sealed");
  return "";
}

std::string DataFile(const std::string& root) { return CldbFolder(root) + "/CacheTable.dat"; }

}  // namespace bench
