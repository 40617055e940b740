// The `storage` subcommands: inspect and age the local storage side of a
// root folder, as the storage side itself does when it prunes data.

#include <cstdio>
#include <memory>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Format.h"
#include "Report.h"
#include "ToolRoot.h"

namespace commands {
namespace {

Outcome OpenRoot(const GlobalOptions& global, RootAccess access, std::unique_ptr<ToolRoot>& root) {
  Outcome outcome = ToolRoot::Open(global.root, access, root);
  return outcome.ok() ? root->OpenStorage() : outcome;
}

// `rc` is what the storage call returned: a CLDB in use that stopped it
// exits as a CLDB in use does.
Outcome StorageError(ToolRoot& root, const std::string& what, int rc = -1) {
  return Outcome::Fail(rc == SqliteStorageBackend::kInUse ? kExitInUse : kExitFailure,
                       what + ": " + root.Storage().LastError());
}

const char* JobStatusName(const SqliteStorageBackend::JobInfo& job) {
  if (!job.ended) return "running";
  switch (job.status) {
    case kJobCompleted:
      return "completed";
    case kJobFailed:
      return "failed";
    case kJobInterrupted:
      return "interrupted";
    case kJobPartial:
      return "partial";
    default:
      return "ended";
  }
}

// Applies `drop` to each id; the first failure stops and is reported.
template <typename Drop>
Outcome DropEach(const GlobalOptions& global, const std::vector<uint32_t>& ids, const char* kind,
                 Drop drop) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = OpenRoot(global, RootAccess::kChange, root);
  if (!outcome.ok()) return outcome;
  for (uint32_t id : ids) {
    const int rc = drop(root->Storage(), id);
    if (rc != 0)
      return StorageError(*root, std::string("cannot drop ") + kind + " " + std::to_string(id), rc);
    if (!global.json && !global.quiet) std::printf("Dropped %s %u\n", kind, id);
  }
  if (global.json) report::PrintJson({{"dropped", ids}});
  return Outcome::Ok();
}

}  // namespace

Outcome StorageJobs(const GlobalOptions& global) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = OpenRoot(global, RootAccess::kLook, root);
  if (!outcome.ok()) return outcome;
  std::vector<SqliteStorageBackend::JobInfo> jobs;
  if (root->Storage().ListJobs(jobs) != 0) return StorageError(*root, "cannot list jobs");
  if (global.json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& job : jobs)
      list.push_back({{"job_id", job.jobId},
                      {"app", job.appId},
                      {"copy", job.copyId},
                      {"start_time", job.startTime},
                      {"end_time", job.endTime},
                      {"status", JobStatusName(job)},
                      {"archive_files", job.archiveFiles},
                      {"blocks", job.blocks},
                      {"bytes", job.bytes}});
    report::PrintJson(list);
    return Outcome::Ok();
  }
  std::printf("%8s %6s %5s  %-19s  %-11s %7s %12s %12s\n", "job", "client", "copy", "started",
              "status", "afiles", "blocks", "bytes");
  for (const auto& job : jobs)
    std::printf("%8u %6u %5u  %-19s  %-11s %7u %12s %12s\n", job.jobId, job.appId, job.copyId,
                fmt::Time(job.startTime).c_str(), JobStatusName(job), job.archiveFiles,
                fmt::Count(job.blocks).c_str(), fmt::Count(job.bytes).c_str());
  return Outcome::Ok();
}

Outcome StorageArchiveFiles(const GlobalOptions& global, uint32_t app, uint32_t copy) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = OpenRoot(global, RootAccess::kLook, root);
  if (!outcome.ok()) return outcome;
  std::vector<SqliteStorageBackend::ArchiveFileInfo> files;
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
                      {"blocks", file.blocks},
                      {"bytes", file.bytes}});
    report::PrintJson(list);
    return Outcome::Ok();
  }
  std::printf("%10s %8s  %-19s %12s %14s\n", "afile", "job", "created", "blocks", "bytes");
  for (const auto& file : files)
    std::printf("%10u %8u  %-19s %12s %14s\n", file.afileId, file.jobId,
                fmt::Time(file.createTime).c_str(), fmt::Count(file.blocks).c_str(),
                fmt::Count(file.bytes).c_str());
  return Outcome::Ok();
}

Outcome StorageDropArchiveFiles(const GlobalOptions& global, const std::vector<uint32_t>& ids) {
  return DropEach(global, ids, "archive file", [](SqliteStorageBackend& storage, uint32_t id) {
    return storage.DropArchiveFile(id);
  });
}

Outcome StorageDropJobs(const GlobalOptions& global, const std::vector<uint32_t>& ids) {
  return DropEach(global, ids, "job",
                  [](SqliteStorageBackend& storage, uint32_t id) { return storage.DropJob(id); });
}

Outcome StorageMarkDirty(const GlobalOptions& global, uint32_t app, bool dirty) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = OpenRoot(global, RootAccess::kChange, root);
  if (!outcome.ok()) return outcome;
  const int rc = root->Storage().MarkClientDirty(app, dirty);
  if (rc != 0) return StorageError(*root, "cannot mark client " + std::to_string(app), rc);
  if (!global.json && !global.quiet)
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
  if (!global.json && !global.quiet)
    std::printf("Mount path of copy %u is now %s\n", copy, offline ? "offline" : "online");
  return Outcome::Ok();
}

}  // namespace commands
