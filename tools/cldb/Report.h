// The end-of-job report of a backup and of a prune: a human summary on
// standard output, or the same facts as one JSON object (--json).
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "BackupJob.h"
#include "cldb/CLDBTypes.h"
#include "storage/SqliteStorageBackend.h"

namespace report {

// The ten counters under their field names.
nlohmann::ordered_json Stats(const _stCLDBStates& stats);
// The counters, one per line, under the labels of the library's log; the
// two no job of the tool changes only with `verbose` (or when non-zero).
void PrintStats(std::FILE* out, const _stCLDBStates& stats, bool verbose);

// Why a job began with an empty CLDB: null for none (the CLDB was reused),
// else the library's name of the reason ("new", "dirty", "unclosed", ...).
nlohmann::ordered_json RecreateReasonJson(cldb::RecreateReason reason);
// "" for none, else " (CLDB started empty: <why>)" for a summary line.
std::string RecreatedNote(cldb::RecreateReason reason);
// "running", "completed", "partial", "interrupted" (also a job whose process
// died) or "failed".
const char* JobStatusName(const cldb::SqliteStorageBackend::JobInfo& job);

nlohmann::ordered_json Backup(const BackupResult& result);
// The human summary; `verbose` (-v) also shows the counters that stay 0.
void PrintBackup(std::FILE* out, const BackupResult& result, bool verbose);

}  // namespace report
