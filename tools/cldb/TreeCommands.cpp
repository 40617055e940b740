// The subcommands that read what jobs stored: ls, restore and verify.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "Commands.h"
#include "Console.h"
#include "Format.h"
#include "JsonOutput.h"
#include "Report.h"
#include "Restorer.h"
#include "ToolRoot.h"
#include "Verifier.h"
#include "storage/JobTree.h"
#include "storage/RootFolder.h"

namespace commands {
namespace {

using cldb::EntryKind;
using cldb::TreeEntry;
using JobInfo = cldb::SqliteStorageBackend::JobInfo;

const size_t kPage = 1000;

std::string JobName(uint32_t jobId) { return "job " + std::to_string(jobId); }

// Job `jobId`, which must have ended and be live.
Outcome RestorableJob(ToolRoot& root, uint32_t jobId, JobInfo& job) {
  if (root.Storage().GetJob(jobId, job) != 0)
    return Outcome::Fail(kExitBadInput, "no " + JobName(jobId));
  if (!job.ended) {
    // Its process may have died.
    std::vector<uint32_t> reaped;
    if (root.Storage().ReapDeadJobs(reaped) != 0 || root.Storage().GetJob(jobId, job) != 0)
      return Outcome::Fail(kExitFailure, root.Storage().LastError());
    if (!job.ended) return Outcome::Fail(kExitBadInput, JobName(jobId) + " is still running");
  }
  if (!job.live)
    return Outcome::Fail(kExitBadInput, JobName(jobId) + " cannot be restored: it " +
                                            (job.status == cldb::SqliteStorageBackend::kStatusKilled
                                                 ? "died while it ran"
                                                 : "did not complete") +
                                            ", and what it stored is not kept for it");
  return Outcome::Ok();
}

// A path as the user names it, as the tree records it.
std::string TreePath(std::string path) {
  const size_t start = path.find_first_not_of('/');
  path = start == std::string::npos ? "" : path.substr(start);
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

// Calls `visit` with each page of the entries of `job` at or below `path`;
// `any` tells whether there was one.
template <typename Visit>
Outcome ForEachPage(ToolRoot& root, const JobInfo& job, const std::string& path, bool& any,
                    Visit visit) {
  std::vector<TreeEntry> page;
  std::string after;
  any = false;
  do {
    if (cldb::ReadEntries(root.Storage().Db(), job.jobId, path, after, kPage, page) != 0)
      return Outcome::Fail(kExitFailure, "cannot read the tree of " + JobName(job.jobId) + ": " +
                                             root.Storage().LastError());
    if (page.empty()) break;
    any = true;
    after = page.back().path;
    Outcome outcome = visit(page);
    if (!outcome.ok()) return outcome;
  } while (page.size() == kPage);
  return Outcome::Ok();
}

std::string ModeString(const TreeEntry& entry) {
  std::string text = entry.kind == EntryKind::kFolder    ? "d"
                     : entry.kind == EntryKind::kSymlink ? "l"
                                                         : "-";
  const char* const kLetters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += (entry.mode & (0400u >> bit)) ? kLetters[bit] : '-';
  return text;
}

const char* KindName(EntryKind kind) {
  switch (kind) {
    case EntryKind::kFolder:
      return "folder";
    case EntryKind::kSymlink:
      return "symlink";
    default:
      return "file";
  }
}

nlohmann::ordered_json EntryJson(const TreeEntry& entry) {
  nlohmann::ordered_json object = {{"path", entry.path},
                                   {"type", KindName(entry.kind)},
                                   {"mode", entry.mode},
                                   {"size", entry.size},
                                   {"mtime_ns", entry.mtimeNs}};
  if (entry.kind == EntryKind::kSymlink) object["target"] = entry.data;
  if (entry.kind == EntryKind::kFile) object["blocks"] = entry.Blocks();
  return object;
}

void PrintEntry(const TreeEntry& entry) {
  std::printf("%s %14s  %s  %s%s%s\n", ModeString(entry).c_str(), fmt::Count(entry.size).c_str(),
              fmt::Time(static_cast<uint32_t>(entry.mtimeNs / 1000000000)).c_str(),
              entry.path.c_str(), entry.kind == EntryKind::kSymlink ? " -> " : "",
              entry.kind == EntryKind::kSymlink ? entry.data.c_str() : "");
}

// The restore selection: the named paths (all when none), each with the
// folders above it that the tree records.
struct Selection {
  std::vector<std::string> roots;
  std::vector<TreeEntry> parents;
};

Outcome Select(ToolRoot& root, const JobInfo& job, const std::vector<std::string>& paths,
               Selection& selection) {
  for (const std::string& named : paths) selection.roots.push_back(TreePath(named));
  if (selection.roots.empty()) selection.roots.push_back("");
  std::sort(selection.roots.begin(), selection.roots.end());
  selection.roots.erase(std::unique(selection.roots.begin(), selection.roots.end()),
                        selection.roots.end());
  std::vector<TreeEntry> page;
  for (const std::string& path : selection.roots) {
    if (path.empty()) continue;
    if (cldb::ReadEntries(root.Storage().Db(), job.jobId, path, "", 1, page) != 0)
      return Outcome::Fail(kExitFailure, root.Storage().LastError());
    if (page.empty() || page[0].path != path)
      return Outcome::Fail(kExitBadInput, "no '" + path + "' in " + JobName(job.jobId));
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      if (cldb::ReadEntries(root.Storage().Db(), job.jobId, path.substr(0, slash), "", 1, page) !=
          0)
        return Outcome::Fail(kExitFailure, root.Storage().LastError());
      if (!page.empty() && page[0].kind == EntryKind::kFolder) selection.parents.push_back(page[0]);
    }
  }
  return Outcome::Ok();
}

// `visit` on the selection's parents, then on each root's pages.
template <typename Visit>
Outcome ForEachSelected(ToolRoot& root, const JobInfo& job, const Selection& selection,
                        Visit visit) {
  Outcome outcome = visit(selection.parents);
  for (size_t i = 0; outcome.ok() && i < selection.roots.size(); ++i) {
    // A root below another one is restored with it.
    bool covered = false;
    for (size_t j = 0; j < i; ++j) {
      const std::string& above = selection.roots[j];
      covered |= above.empty() || selection.roots[i].compare(0, above.size() + 1, above + "/") == 0;
    }
    bool any = false;
    if (!covered) outcome = ForEachPage(root, job, selection.roots[i], any, visit);
  }
  return outcome;
}

// Opens the restore target, making it (private) when missing.
Outcome OpenTarget(const std::string& target, int& fd) {
  const std::string problem = cldb::MakePrivateFolders(target);
  if (!problem.empty())
    return Outcome::Fail(kExitBadInput, "cannot use '" + target + "' as the target: " + problem);
  fd = open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return Outcome::Fail(kExitBadInput,
                         "cannot open '" + target + "': " + std::string(std::strerror(errno)));
  return Outcome::Ok();
}

}  // namespace

Outcome List(const GlobalOptions& global, uint32_t jobId, const std::string& path) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = ToolRoot::OpenWithStorage(global.root, RootAccess::kLook, root);
  JobInfo job;
  if (outcome.ok()) outcome = RestorableJob(*root, jobId, job);
  if (!outcome.ok()) return outcome;
  const std::string wanted = TreePath(path);
  nlohmann::ordered_json entries = nlohmann::ordered_json::array();
  bool any = false;
  outcome = ForEachPage(*root, job, wanted, any, [&](const std::vector<TreeEntry>& page) {
    for (const TreeEntry& entry : page) {
      if (global.json)
        entries.push_back(EntryJson(entry));
      else
        PrintEntry(entry);
    }
    return Outcome::Ok();
  });
  if (!outcome.ok()) return outcome;
  if (!any && !wanted.empty())
    return Outcome::Fail(kExitBadInput, "no '" + wanted + "' in " + JobName(jobId));
  if (global.json)
    cldb::json::SetResult({{"job_id", jobId}, {"path", wanted}, {"entries", entries}});
  return Outcome::Ok();
}

Outcome Restore(const GlobalOptions& global, const RestoreOptions& options) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = ToolRoot::OpenWithStorage(global.root, RootAccess::kLook, root);
  JobInfo job;
  if (outcome.ok()) outcome = RestorableJob(*root, options.jobId, job);
  Selection selection;
  if (outcome.ok()) outcome = Select(*root, job, options.paths, selection);
  int target = -1;
  if (outcome.ok()) outcome = OpenTarget(options.target, target);
  if (!outcome.ok()) return outcome;
  Console console;
  Restorer restorer(root->Storage(), job, target, options.target, options.overwrite,
                    [&](const std::string& message) { console.Error(message); });
  outcome = ForEachSelected(*root, job, selection, [&](const std::vector<TreeEntry>& page) {
    const std::string problem = restorer.Check(page);
    return problem.empty() ? Outcome::Ok() : Outcome::Fail(kExitBadInput, problem);
  });
  if (outcome.ok())
    outcome = ForEachSelected(*root, job, selection, [&](const std::vector<TreeEntry>& page) {
      restorer.Restore(page);
      return Outcome::Ok();
    });
  restorer.Finish();
  close(target);
  if (!outcome.ok()) return outcome;
  const Restorer::Counts& done = restorer.Done();
  if (global.json) {
    cldb::json::SetResult({{"job_id", options.jobId},
                           {"target", options.target},
                           {"files", done.files},
                           {"folders", done.folders},
                           {"symlinks", done.links},
                           {"bytes", done.bytes},
                           {"failed", done.failed}});
  } else {
    std::printf("Restored job %u into %s: %s files (%s), %s folders, %s links\n", options.jobId,
                options.target.c_str(), fmt::Count(done.files).c_str(),
                fmt::Bytes(done.bytes).c_str(), fmt::Count(done.folders).c_str(),
                fmt::Count(done.links).c_str());
  }
  std::fflush(stdout);
  if (done.failed != 0)
    return Outcome::Fail(kExitPartial, fmt::Count(done.failed) + " entries could not be restored");
  return Outcome::Ok();
}

Outcome Verify(const GlobalOptions& global, const std::vector<uint32_t>& jobIds, unsigned threads) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = ToolRoot::OpenWithStorage(global.root, RootAccess::kLook, root);
  if (!outcome.ok()) return outcome;
  std::vector<JobInfo> jobs;
  if (jobIds.empty()) {
    std::vector<uint32_t> reaped;
    std::vector<JobInfo> all;
    if (root->Storage().ReapDeadJobs(reaped) != 0 || root->Storage().ListJobs(all) != 0)
      return Outcome::Fail(kExitFailure, "cannot list jobs: " + root->Storage().LastError());
    // A prune stored nothing to read back.
    for (const JobInfo& job : all)
      if (job.ended && job.live && job.kind == cldb::SqliteStorageBackend::JobKind::kBackup)
        jobs.push_back(job);
  }
  for (uint32_t jobId : jobIds) {
    outcome = RestorableJob(*root, jobId, jobs.emplace_back());
    if (!outcome.ok()) return outcome;
  }
  Verifier verifier(root->Storage(), threads != 0 ? threads : std::thread::hardware_concurrency());
  Verifier::Result result;
  std::string error;
  if (verifier.Run(jobs, result, error) != 0)
    return Outcome::Fail(kExitFailure, "cannot verify: " + error);
  uint64_t broken = 0;
  for (const auto& problem : result.problems) broken += problem.files.size();
  if (global.json) {
    nlohmann::ordered_json ids = nlohmann::ordered_json::array(), problems = ids;
    for (const JobInfo& job : jobs) ids.push_back(job.jobId);
    for (const auto& problem : result.problems) {
      nlohmann::ordered_json files = nlohmann::ordered_json::array();
      for (const auto& file : problem.files)
        files.push_back({{"job_id", file.jobId}, {"path", file.path}});
      problems.push_back({{"signature", problem.signature},
                          {"size", problem.size},
                          {"problem", problem.missing ? "missing" : "damaged"},
                          {"details", problem.details},
                          {"files", files}});
    }
    cldb::json::SetResult({{"jobs", ids},
                           {"files", result.files},
                           {"blocks", result.blocks},
                           {"copies", result.copies},
                           {"bytes", result.bytes},
                           {"bad_blocks", result.problems.size()},
                           {"broken_files", broken},
                           {"problems", problems},
                           {"damaged_packs", result.damagedPacks}});
  } else {
    std::printf("Verified %zu job(s): %s files, %s blocks (%s) in %s copies\n", jobs.size(),
                fmt::Count(result.files).c_str(), fmt::Count(result.blocks).c_str(),
                fmt::Bytes(result.bytes).c_str(), fmt::Count(result.copies).c_str());
    for (const auto& problem : result.problems) {
      std::printf("  %s block %s (%s bytes)%s\n", problem.missing ? "missing" : "damaged",
                  problem.signature.substr(0, 16).c_str(), fmt::Count(problem.size).c_str(),
                  problem.missing ? ": no pack holds it" : "");
      for (const auto& detail : problem.details) std::printf("    %s\n", detail.c_str());
      for (const auto& file : problem.files)
        std::printf("    breaks job %u: %s\n", file.jobId, file.path.c_str());
    }
    for (const auto& pack : result.damagedPacks)
      std::printf("  damaged pack file: %s\n", pack.c_str());
  }
  std::fflush(stdout);
  if (result.problems.empty()) return Outcome::Ok();
  return Outcome::Fail(kExitPartial, fmt::Count(result.problems.size()) +
                                         " block(s) missing or damaged; " + fmt::Count(broken) +
                                         " file(s) cannot be restored whole");
}

}  // namespace commands
