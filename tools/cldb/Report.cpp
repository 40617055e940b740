#include "Report.h"

#include <string>

#include "Format.h"
#include "cldb/CLDBStats.h"

namespace report {
namespace {

struct Counter {
  const char* key;
  const char* label;
  // The library declares the counter but no job of the tool changes it:
  // the summary shows it only with -v, or should it ever be non-zero.
  bool alwaysZero;
};

// In the order of _stCLDBStates (cldb::kCounters).
const Counter kCounters[10] = {
    {"crc_not_found", "CRC not found", false},
    {"aged", "Aged", false},
    {"expired", "Expired", false},
    {"mismatched_tag_count", "Mismatched tag-count", false},
    {"mismatched_data_size", "Mismatched data size", false},
    {"mismatched_signature", "Mismatched signature", false},
    {"inserted_by_this_job", "Inserted by this job", true},
    {"expired_in_this_job", "Expired in this job", true},
    {"found_pruned", "Found pruned", false},
    {"offline_substores", "Offline substores", false},
};

double Ratio(uint64_t part, uint64_t whole) {
  return whole ? static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

std::string JoinIds(const std::vector<uint32_t>& ids) {
  std::string text;
  for (uint32_t id : ids) text += (text.empty() ? "" : ", ") + std::to_string(id);
  return text.empty() ? "none" : text;
}

}  // namespace

// The storage side takes a failed job out of the live set.
static_assert(kJobFailed == cldb::SqliteStorageBackend::kStatusFailed);

const char* JobStatusName(const cldb::SqliteStorageBackend::JobInfo& job) {
  if (!job.ended) return "running";
  switch (job.status) {
    case kJobCompleted:
      return "completed";
    case kJobFailed:
      return "failed";
    case kJobInterrupted:
    case cldb::SqliteStorageBackend::kStatusKilled:
      return "interrupted";
    case kJobPartial:
      return "partial";
    default:
      return "ended";
  }
}

nlohmann::ordered_json Stats(const _stCLDBStates& stats) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (int i = 0; i < 10; ++i) object[kCounters[i].key] = stats.*cldb::kCounters[i];
  return object;
}

void PrintStats(std::FILE* out, const _stCLDBStates& stats, bool verbose) {
  std::fprintf(out, "CLDB statistics\n");
  for (int i = 0; i < 10; ++i) {
    const uint32_t value = stats.*cldb::kCounters[i];
    if (kCounters[i].alwaysZero && value == 0 && !verbose) continue;
    std::fprintf(out, "  %-22s %s\n", kCounters[i].label, fmt::Count(value).c_str());
  }
}

nlohmann::ordered_json RecreateReasonJson(cldb::RecreateReason reason) {
  if (reason == cldb::RecreateReason::kNone) return nullptr;
  return cldb::RecreateReasonName(reason);
}

std::string RecreatedNote(cldb::RecreateReason reason) {
  const char* why = nullptr;
  switch (reason) {
    case cldb::RecreateReason::kNone:
      return "";
    case cldb::RecreateReason::kNew:
      why = "it is new";
      break;
    case cldb::RecreateReason::kDirty:
      why = "the storage side marked it dirty";
      break;
    case cldb::RecreateReason::kUnclosed:
      why = "its last job did not close it (killed or crashed)";
      break;
    case cldb::RecreateReason::kDamaged:
      why = "its files were damaged or could not be read";
      break;
    case cldb::RecreateReason::kOtherStore:
      why = "it was filled against another storage database";
      break;
    case cldb::RecreateReason::kIncompatible:
      why = "its version does not allow the configured size";
      break;
  }
  return std::string(" (CLDB started empty: ") + why + ")";
}

nlohmann::ordered_json Backup(const BackupResult& r) {
  return {
      {"job_id", r.jobId},
      {"archive_file_id", r.archiveFiles.empty() ? 0 : r.archiveFiles.back()},
      {"archive_files", r.archiveFiles},
      {"cldb_folder", r.cldbFolder},
      {"files", r.files},
      {"unreadable", r.unreadable},
      {"skipped", r.skipped},
      {"excluded", r.excluded},
      {"bytes", r.bytes},
      {"blocks", r.blocks},
      {"hits", r.hits},
      {"misses", r.misses},
      {"hit_rate", Ratio(r.hits, r.blocks)},
      {"dedup_ratio", Ratio(r.bytesNotSent, r.bytes)},
      {"false_hits", r.falseHits},
      {"bytes_not_sent", r.bytesNotSent},
      {"bytes_stored", r.bytesStored},
      {"bytes_written", r.bytesWritten},
      {"seconds", r.seconds},
      {"mib_per_s", fmt::MebibytesPerSecond(r.bytes, r.seconds)},
      {"offline", r.offline},
      {"cldb_recreated", r.recreated != cldb::RecreateReason::kNone},
      {"cldb_recreated_reason", RecreateReasonJson(r.recreated)},
      {"interrupted", r.interrupted},
      {"dry_run", r.dryRun},
      {"dry_run_note",
       r.dryRunNote.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.dryRunNote)},
      {"stats", Stats(r.stats)},
  };
}

void PrintBackup(std::FILE* out, const BackupResult& r, bool verbose) {
  if (r.dryRun)
    std::fprintf(out, "Dry run against %s%s: nothing was stored or changed%s%s\n",
                 r.cldbFolder.c_str(), r.interrupted ? " (interrupted)" : "",
                 r.dryRunNote.empty() ? "" : "; every block counts as new: ", r.dryRunNote.c_str());
  else
    std::fprintf(out, "Backup job %u into %s%s%s\n", r.jobId, r.cldbFolder.c_str(),
                 r.interrupted ? " (interrupted)" : "", RecreatedNote(r.recreated).c_str());
  std::fprintf(out, "  files          %s; %s unreadable, %s skipped (special files), %s excluded\n",
               fmt::Count(r.files).c_str(), fmt::Count(r.unreadable).c_str(),
               fmt::Count(r.skipped).c_str(), fmt::Count(r.excluded).c_str());
  std::fprintf(out, "  data           %s bytes (%s)\n", fmt::Count(r.bytes).c_str(),
               fmt::Bytes(r.bytes).c_str());
  std::fprintf(out, "  blocks         %s: %s hits, %s misses (%.1f%% hits)\n",
               fmt::Count(r.blocks).c_str(), fmt::Count(r.hits).c_str(),
               fmt::Count(r.misses).c_str(), 100.0 * Ratio(r.hits, r.blocks));
  std::fprintf(out, "  dedup ratio    %.1f%%: %s bytes (%s) did not need sending\n",
               100.0 * Ratio(r.bytesNotSent, r.bytes), fmt::Count(r.bytesNotSent).c_str(),
               fmt::Bytes(r.bytesNotSent).c_str());
  if (r.dryRun) {
    std::fprintf(out, "  would store    %s bytes (%s) in %s new blocks\n",
                 fmt::Count(r.bytesStored).c_str(), fmt::Bytes(r.bytesStored).c_str(),
                 fmt::Count(r.misses).c_str());
    std::fprintf(out, "  time           %.2f s, %.1f MiB/s\n", r.seconds,
                 fmt::MebibytesPerSecond(r.bytes, r.seconds));
    return;
  }
  std::fprintf(out, "  stored         %s bytes (%s) into archive file(s) %s%s\n",
               fmt::Count(r.bytesStored).c_str(), fmt::Bytes(r.bytesStored).c_str(),
               JoinIds(r.archiveFiles).c_str(),
               r.offline ? " (mount path offline: no deduplication)" : "");
  std::fprintf(out, "  written        %s bytes (%s) to disk, compressed, with their headers\n",
               fmt::Count(r.bytesWritten).c_str(), fmt::Bytes(r.bytesWritten).c_str());
  if (r.falseHits != 0)
    std::fprintf(out,
                 "  false hits     %s: the CLDB answered for blocks the storage side could not "
                 "serve; they were stored\n",
                 fmt::Count(r.falseHits).c_str());
  std::fprintf(out, "  time           %.2f s, %.1f MiB/s\n", r.seconds,
               fmt::MebibytesPerSecond(r.bytes, r.seconds));
  PrintStats(out, r.stats, verbose);
}

}  // namespace report
