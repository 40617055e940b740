// CLDB folders of a given size and history for the fixed-cost benchmarks,
// built once through CCLDBTableManager (as jobs build them) and kept in a
// cache folder, so that later runs only copy them.
//
// Every history starts with one loading job, three days back: the workload's
// records (Workload.h), a thousand per archive file, 1 .. N/1000. Then:
//   kFresh         nothing more. The pruning runs drop archive files 1 and 2.
//   kHotRepointed  fifty later jobs each hit the 2,000 records of archive
//                  files 1 and 2 and re-point them at two archive files of
//                  their own: the lazy archive-file index keeps 100,000
//                  stale entries. The pruning runs drop the two files the
//                  records are in at the end.
//   kAllRepointed  one later job hits every record once, re-pointing the
//                  records of archive file k at N/1000 + k (a second full
//                  backup of the same data): one stale entry per record.
//                  The pruning runs drop N/1000 + 1 and N/1000 + 2.
// In each, the two archive files that the pruning runs drop hold 2,000
// records, last used before the job.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cldb/CLDBTypes.h"

class EvDebug;
namespace cldb {
class InMemoryStorageBackend;
}

namespace bench {

enum class History { kFresh, kHotRepointed, kAllRepointed };
const char* HistoryName(History history);

struct CldbFixture {
  std::string root;  // CLDB root folder: copy it whole
  uint64_t records = 0;
  uint32_t lastAfile = 0;        // highest archive-file id any job used
  uint32_t liveAfiles = 0;       // archive files holding records
  std::vector<uint32_t> pruned;  // the two that the pruning runs drop
  double buildSeconds = 0;       // wall clock, when it was built
};

// The fixture from `cacheDir`, built there first when missing. false with
// the reason in *error on failure.
bool GetFixture(const std::string& cacheDir, uint64_t records, History history, CldbFixture* out,
                std::string* error);

// The CLDB folder inside a copy of a fixture's root.
std::string CldbFolder(const std::string& root);

// What a job hands the manager: the CLDB under `root`, the workload's
// settings, a job that started at `startTime`.
_CCLDBTableManagerArgs JobArgs(const std::string& root, EvDebug* log, uint32_t startTime);

// A storage side that calls the CLDB clean and vouches for archive files
// 1 .. lastAfile except `dropped`.
std::shared_ptr<cldb::InMemoryStorageBackend> StorageSide(uint32_t lastAfile,
                                                          const std::vector<uint32_t>& dropped);

}  // namespace bench
