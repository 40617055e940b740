// The subcommands of the tool, behind the command-line parsing of main.cpp.
// Each prints its result on standard output (as one JSON object or array
// with --json) and returns the outcome that main turns into the message
// "cldb: ..." and the exit code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "BackupJob.h"
#include "CldbIdentity.h"
#include "JobSession.h"
#include "Outcome.h"

struct GlobalOptions {
  std::string root;  // "" for $CLDB_ROOT, else the configured default
  bool verbose = false;
  bool quiet = false;  // errors only: no warnings, no progress, no human summary
  bool json = false;
};

namespace commands {

// ---- on a CLDB of a root folder ----
// `identity.store` 0: the store id of the root's storage database.
Outcome Backup(const GlobalOptions& global, BackupOptions options);
Outcome Prune(const GlobalOptions& global, CldbIdentity identity, const JobSettings& settings);
Outcome Stats(const GlobalOptions& global, const CldbIdentity& identity);

// ---- on a CLDB folder named directly ----
Outcome State(const GlobalOptions& global, const std::string& folder);
// Writes the CSV dump into `outputDir` ("" for the working directory).
Outcome Dump(const GlobalOptions& global, const std::string& folder, const std::string& outputDir);
Outcome Compact(const GlobalOptions& global, const std::string& folder);

// ---- what jobs stored ----
// Lists job `jobId`'s entries at or below `path` ("" for all).
Outcome List(const GlobalOptions& global, uint32_t jobId, const std::string& path);
struct RestoreOptions {
  uint32_t jobId = 0;
  std::string target;
  std::vector<std::string> paths;  // none: the whole job
  bool overwrite = false;
};
Outcome Restore(const GlobalOptions& global, const RestoreOptions& options);
// Verifies the given jobs, or every restorable one when none is given.
Outcome Verify(const GlobalOptions& global, const std::vector<uint32_t>& jobIds, unsigned threads);

// ---- on the local storage side ----
Outcome StorageJobs(const GlobalOptions& global);
Outcome StorageArchiveFiles(const GlobalOptions& global, uint32_t app, uint32_t copy);
Outcome StorageDropArchiveFiles(const GlobalOptions& global, const std::vector<uint32_t>& ids);
Outcome StorageDropJobs(const GlobalOptions& global, const std::vector<uint32_t>& ids);
Outcome StorageMarkDirty(const GlobalOptions& global, uint32_t app, bool dirty);
Outcome StorageSetOffline(const GlobalOptions& global, uint32_t copy, bool offline);
// Frees the space of what no live job needs.
Outcome CollectGarbage(const GlobalOptions& global);

}  // namespace commands
