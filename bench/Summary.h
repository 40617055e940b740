// The side-by-side summary printed after the console table: operations per
// second of every backend that ran (the counters "<tag>/s" of each
// benchmark), the ratios that the cache table's targets are stated in
// (against direct LMDB and the reference SQLite), whether each target is
// met, the speed against tuned SQLite for information, and the disk
// footprint measured at set-up.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

// What the set-up measured for one backend.
struct Footprint {
  std::string backend;
  std::string tag;           // of its counters
  double loadPerSecond = 0;  // records per second while loading
  double loadedBytesPerRecord = 0;
  double compactSeconds = 0;
  double compactedBytesPerRecord = 0;
};

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  // One footprint per backend that ran, in the run's order. Counters as
  // columns; colour only on a terminal.
  explicit SummaryReporter(std::vector<Footprint> footprints);

  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  void PrintThroughput(std::ostream& out) const;
  void PrintThroughputRow(std::ostream& out, const std::string& operation) const;
  void PrintFootprint(std::ostream& out) const;
  double Rate(const std::string& operation, const std::string& backend) const;

  std::vector<Footprint> footprints_;
  // Operations per second by operation and backend: the median of the
  // repetitions when there are several, else the single run.
  std::map<std::string, std::map<std::string, double>> rates_;
  std::vector<std::string> operations_;  // in the order they ran
};

}  // namespace bench
