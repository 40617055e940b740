// The side-by-side summary printed after the console table: operations per
// second of every backend (the counters "<backend>/s" of each benchmark),
// the ratios that the cache table's targets are stated in, whether each
// target is met, and the disk footprint measured at set-up.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

// What the set-up measured for one backend.
struct Footprint {
  std::string backend;
  double loadPerSecond = 0;  // records per second while loading
  double loadedBytesPerRecord = 0;
  double compactSeconds = 0;
  double compactedBytesPerRecord = 0;
};

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  // Counters as columns; colour only on a terminal.
  explicit SummaryReporter(std::vector<Footprint> footprints);

  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  void PrintThroughput(std::ostream& out) const;
  void PrintFootprint(std::ostream& out) const;
  double Rate(const std::string& operation, const std::string& backend) const;

  std::vector<Footprint> footprints_;
  // Operations per second by operation and backend: the median of the
  // repetitions when there are several, else the single run.
  std::map<std::string, std::map<std::string, double>> rates_;
  std::vector<std::string> operations_;  // in the order they ran
};

}  // namespace bench
