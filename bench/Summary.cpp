#include "Summary.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ostream>

#include "Backend.h"

namespace bench {
namespace {

// The targets: the cache table's time at most `maxVsLmdb` times the direct
// LMDB time, and its speed at least `minVsSqlite` times the reference
// SQLite's. Tuned SQLite has none: it is shown for information.
struct Target {
  const char* operation;
  double maxVsLmdb;
  double minVsSqlite;
};
const Target kTargets[] = {
    {"QueryMiss", 1.3, 1.5},
    {"QueryHit", 1.3, 5.0},
    {"Insert", 1.3, 5.0},
};

const Target* TargetOf(const std::string& operation) {
  for (const Target& t : kTargets)
    if (operation == t.operation) return &t;
  return nullptr;
}

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

// "1.23x", or "-" when a side was not measured.
std::string Times(double numerator, double denominator, int digits) {
  if (numerator <= 0 || denominator <= 0) return "-";
  return Format("%.*fx", digits, numerator / denominator);
}

std::string Verdict(const Target& t, double cct, double lmdb, double sqlite) {
  const bool measured = cct > 0 && lmdb > 0 && sqlite > 0;
  const bool met = measured && lmdb / cct <= t.maxVsLmdb && cct / sqlite >= t.minVsSqlite;
  return Format("<=%.1fx, >=%.1fx: %s", t.maxVsLmdb, t.minVsSqlite,
                measured ? (met ? "met" : "MISSED") : "not measured");
}

}  // namespace

SummaryReporter::SummaryReporter(std::vector<Footprint> footprints)
    : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular),
      footprints_(std::move(footprints)) {}

void SummaryReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& run : runs) {
    if (run.error_occurred) continue;
    const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
    if (run.run_type == Run::RT_Aggregate && !median) continue;
    const std::string& operation = run.run_name.function_name;
    if (std::find(operations_.begin(), operations_.end(), operation) == operations_.end())
      operations_.push_back(operation);
    for (const char* tag : kBackendTags) {
      auto rate = run.counters.find(std::string(tag) + "/s");
      if (rate == run.counters.end()) continue;
      double& kept = rates_[operation][tag];
      if (median || kept == 0) kept = rate->second.value;
    }
  }
}

double SummaryReporter::Rate(const std::string& operation, const std::string& backend) const {
  auto op = rates_.find(operation);
  if (op == rates_.end()) return 0;
  auto it = op->second.find(backend);
  return it == op->second.end() ? 0 : it->second;
}

void SummaryReporter::PrintThroughput(std::ostream& out) const {
  out << "\nOperations per second, side by side:\n" << Format("%-26s", "Operation");
  for (const Footprint& f : footprints_) out << Format(" %13s", f.backend.c_str());
  out << Format(" %15s %18s %24s   %s\n", "CCT time/LMDB", "CCT speed/SQLite",
                "CCT speed/SQLite-tuned", "target (time/LMDB, speed/SQLite)");
  for (const std::string& operation : operations_) PrintThroughputRow(out, operation);
}

void SummaryReporter::PrintThroughputRow(std::ostream& out, const std::string& operation) const {
  out << Format("%-26s", operation.c_str());
  for (const Footprint& f : footprints_) out << Format(" %13.0f", Rate(operation, f.tag));
  const double cct = Rate(operation, kBackendTags[kCacheTable]);
  const double lmdb = Rate(operation, kBackendTags[kLmdb]);
  const double sqlite = Rate(operation, kBackendTags[kSqlite]);
  const double tuned = Rate(operation, kBackendTags[kSqliteTuned]);
  out << Format(" %15s %18s %24s", Times(lmdb, cct, 2).c_str(), Times(cct, sqlite, 2).c_str(),
                Times(cct, tuned, 2).c_str());
  if (const Target* t = TargetOf(operation)) out << "   " << Verdict(*t, cct, lmdb, sqlite);
  out << "\n";
}

void SummaryReporter::PrintFootprint(std::ostream& out) const {
  out << "\nLoad and disk footprint (bytes per 120-byte record):\n";
  out << "Backend        load rec/s   loaded B/rec   compaction s   compacted B/rec\n";
  for (const Footprint& f : footprints_) {
    char line[160];
    snprintf(line, sizeof(line), "%-12s %12.0f %14.1f %14.2f %17.1f\n", f.backend.c_str(),
             f.loadPerSecond, f.loadedBytesPerRecord, f.compactSeconds, f.compactedBytesPerRecord);
    out << line;
  }
}

void SummaryReporter::Finalize() {
  ConsoleReporter::Finalize();
  PrintThroughput(GetOutputStream());
  PrintFootprint(GetOutputStream());
}

}  // namespace bench
