// The `storage` subcommands: inspect and age the local storage side of a
// root folder, as the storage side itself does when it prunes data.

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Format.h"
#include "JsonOutput.h"
#include "Report.h"
#include "ToolRoot.h"
#include "storage/GarbageCollector.h"

namespace commands {
namespace {

Outcome OpenRoot(const GlobalOptions& global, RootAccess access, std::unique_ptr<ToolRoot>& root) {
  return ToolRoot::OpenWithStorage(global.root, access, root);
}

// `rc` is what the storage call returned: a CLDB in use that stopped it
// exits as a CLDB in use does.
Outcome StorageError(ToolRoot& root, const std::string& what, int rc = -1) {
  const int exitCode = rc == cldb::SqliteStorageBackend::kInUse     ? kExitInUse
                       : rc == cldb::SqliteStorageBackend::kUnknown ? kExitBadInput
                                                                    : kExitFailure;
  return Outcome::Fail(exitCode, what + ": " + root.Storage().LastError());
}

// "lost" (its pack is gone), "retired" (its job left the live set; kept
// while its blocks are needed), "valid" (handed to its client's CLDB) or
// "broken" (references a lost block).
const char* ArchiveFileState(const cldb::SqliteStorageBackend::ArchiveFileInfo& file) {
  if (file.lost) return "lost";
  if (!file.live) return "retired";
  return file.broken ? "broken" : "valid";
}

const char* JobKindName(const cldb::SqliteStorageBackend::JobInfo& job) {
  return job.kind == cldb::SqliteStorageBackend::JobKind::kPrune ? "prune" : "backup";
}

// Applies `drop` to each id; the first failure stops and is reported, with
// the ids dropped before it.
template <typename Drop>
Outcome DropEach(const GlobalOptions& global, const std::vector<uint32_t>& ids, const char* kind,
                 Drop drop) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = OpenRoot(global, RootAccess::kChange, root);
  if (!outcome.ok()) return outcome;
  std::vector<uint32_t> dropped;
  for (uint32_t id : ids) {
    const int rc = drop(root->Storage(), id);
    if (rc != 0) {
      outcome =
          StorageError(*root, std::string("cannot drop ") + kind + " " + std::to_string(id), rc);
      break;
    }
    dropped.push_back(id);
    if (!global.json && !global.quiet) std::printf("Dropped %s %u\n", kind, id);
  }
  if (global.json) cldb::json::SetResult({{"dropped", dropped}});
  return outcome;
}

}  // namespace

Outcome StorageJobs(const GlobalOptions& global) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = OpenRoot(global, RootAccess::kLook, root);
  if (!outcome.ok()) return outcome;
  // A running job whose process died is shown, and from now on kept, as
  // the interrupted job it is.
  std::vector<uint32_t> reaped;
  std::vector<cldb::SqliteStorageBackend::JobInfo> jobs;
  if (root->Storage().ReapDeadJobs(reaped) != 0 || root->Storage().ListJobs(jobs) != 0)
    return StorageError(*root, "cannot list jobs");
  if (global.json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& job : jobs)
      list.push_back({{"job_id", job.jobId},
                      {"app", job.appId},
                      {"copy", job.copyId},
                      {"aux_copy", job.aux},
                      {"kind", JobKindName(job)},
                      {"start_time", job.startTime},
                      {"end_time", job.endTime},
                      {"status", report::JobStatusName(job)},
                      {"live", job.live},
                      {"archive_files", job.archiveFiles},
                      {"blocks", job.blocks},
                      {"bytes", job.bytes},
                      {"pack_bytes", job.packBytes}});
    cldb::json::SetResult({{"jobs", list}});
    return Outcome::Ok();
  }
  std::printf("%8s %-6s %6s %5s  %-19s  %-11s %-4s %7s %12s %14s\n", "job", "kind", "client",
              "copy", "started", "status", "live", "afiles", "blocks", "bytes");
  for (const auto& job : jobs)
    std::printf("%8u %-6s %6u %5u  %-19s  %-11s %-4s %7u %12s %14s\n", job.jobId, JobKindName(job),
                job.appId, job.copyId, fmt::Time(job.startTime).c_str(), report::JobStatusName(job),
                job.live ? "yes" : "no", job.archiveFiles, fmt::Count(job.blocks).c_str(),
                fmt::Count(job.bytes).c_str());
  return Outcome::Ok();
}

Outcome StorageArchiveFiles(const GlobalOptions& global, uint32_t app, uint32_t copy) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = OpenRoot(global, RootAccess::kLook, root);
  if (!outcome.ok()) return outcome;
  std::vector<cldb::SqliteStorageBackend::ArchiveFileInfo> files;
  if (root->Storage().ListArchiveFiles(app, copy, files) != 0)
    return StorageError(*root, "cannot list archive files");
  if (global.json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& file : files)
      list.push_back({{"archive_file_id", file.afileId},
                      {"job_id", file.jobId},
                      {"app", file.appId},
                      {"copy", file.copyId},
                      {"create_time", file.createTime},
                      {"state", ArchiveFileState(file)},
                      {"blocks", file.blocks},
                      {"bytes", file.bytes},
                      {"pack_bytes", file.packBytes}});
    cldb::json::SetResult({{"archive_files", list}});
    return Outcome::Ok();
  }
  std::printf("%10s %8s  %-19s %-7s %12s %14s %14s\n", "afile", "job", "created", "state", "blocks",
              "bytes", "on disk");
  for (const auto& file : files)
    std::printf("%10u %8u  %-19s %-7s %12s %14s %14s\n", file.afileId, file.jobId,
                fmt::Time(file.createTime).c_str(), ArchiveFileState(file),
                fmt::Count(file.blocks).c_str(), fmt::Count(file.bytes).c_str(),
                fmt::Count(file.packBytes).c_str());
  return Outcome::Ok();
}

Outcome StorageDropArchiveFiles(const GlobalOptions& global, const std::vector<uint32_t>& ids) {
  return DropEach(
      global, ids, "archive file",
      [](cldb::SqliteStorageBackend& storage, uint32_t id) { return storage.DropArchiveFile(id); });
}

Outcome StorageDropJobs(const GlobalOptions& global, const std::vector<uint32_t>& ids) {
  return DropEach(global, ids, "job", [](cldb::SqliteStorageBackend& storage, uint32_t id) {
    return storage.DropJob(id);
  });
}

Outcome StorageMarkDirty(const GlobalOptions& global, uint32_t app, bool dirty) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = OpenRoot(global, RootAccess::kChange, root);
  if (!outcome.ok()) return outcome;
  const int rc = root->Storage().MarkClientDirty(app, dirty);
  if (rc != 0) return StorageError(*root, "cannot mark client " + std::to_string(app), rc);
  if (global.json)
    cldb::json::SetResult({{"app", app}, {"dirty", dirty}});
  else if (!global.quiet)
    std::printf("CLDBs of client %u marked %s\n", app,
                dirty ? "dirty: the next job of each copy starts an empty CLDB" : "clean");
  return Outcome::Ok();
}

Outcome StorageSetOffline(const GlobalOptions& global, uint32_t copy, bool offline) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = OpenRoot(global, RootAccess::kChange, root);
  if (!outcome.ok()) return outcome;
  if (root->Storage().SetMountPathOffline(copy, offline) != 0)
    return StorageError(*root, "cannot change the mount path of copy " + std::to_string(copy));
  if (global.json)
    cldb::json::SetResult({{"copy", copy}, {"offline", offline}});
  else if (!global.quiet)
    std::printf("Mount path of copy %u is now %s\n", copy, offline ? "offline" : "online");
  return Outcome::Ok();
}

Outcome CollectGarbage(const GlobalOptions& global) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = OpenRoot(global, RootAccess::kChange, root);
  if (!outcome.ok()) return outcome;
  cldb::GarbageCollector collector(root->Storage());
  cldb::GarbageCollector::Result result;
  std::string error;
  const int rc = collector.Run(result, error);
  if (rc != 0)
    return Outcome::Fail(rc == cldb::SqliteStorageBackend::kInUse ? kExitInUse : kExitFailure,
                         "garbage collection failed: " + error);
  if (global.json) {
    cldb::json::SetResult({{"bytes_freed", result.bytesFreed},
                           {"packs_removed", result.packsRemoved},
                           {"packs_rewritten", result.packsRewritten},
                           {"tails_cut", result.tailsCut},
                           {"orphans_removed", result.orphansRemoved},
                           {"jobs_found_dead", result.reaped}});
  } else if (!global.quiet) {
    std::printf("Freed %s bytes (%s): %s pack(s) removed, %s rewritten, %s cut, %s orphan(s)\n",
                fmt::Count(result.bytesFreed).c_str(), fmt::Bytes(result.bytesFreed).c_str(),
                fmt::Count(result.packsRemoved).c_str(), fmt::Count(result.packsRewritten).c_str(),
                fmt::Count(result.tailsCut).c_str(), fmt::Count(result.orphansRemoved).c_str());
  }
  return Outcome::Ok();
}

}  // namespace commands
