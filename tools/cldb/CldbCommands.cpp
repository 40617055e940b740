// The subcommands that work on one CLDB: backup, prune, stats, state, dump
// and compact.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "BackupPaths.h"
#include "Commands.h"
#include "Console.h"
#include "Format.h"
#include "Interrupt.h"
#include "JsonOutput.h"
#include "Report.h"
#include "StateReader.h"
#include "ToolRoot.h"
#include "TreeWalker.h"
#include "cldb/CLDBTableManager.h"
#include "cldb/CLDBTables.h"
#include "platform/Clock.h"
#include "platform/EvDebug.h"

namespace commands {
namespace {

using cldb::json::SetResult;

// Bytes of the regular files under `folder`.
uint64_t FolderBytes(const std::string& folder) {
  uint64_t total = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code sizeError;
    if (it->is_regular_file(sizeError)) total += it->file_size(sizeError);
  }
  return total;
}

// Opens the root and its storage side for a job on the CLDB of `identity`,
// whose store id, unless given, is the one of the storage database: a CLDB
// filled against another storage side is then recreated, not trusted.
Outcome OpenForJob(const GlobalOptions& global, RootAccess access, CldbIdentity& identity,
                   std::unique_ptr<ToolRoot>& root) {
  Outcome outcome = ToolRoot::Open(global.root, access, root);
  if (outcome.ok()) outcome = root->OpenStorage();
  if (outcome.ok() && identity.store == 0) identity.store = root->Storage().StoreId();
  return outcome;
}

Outcome CheckFolder(const std::string& folder) {
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    return Outcome::Fail(kExitBadInput, "no CLDB folder '" + folder + "'");
  return Outcome::Ok();
}

Outcome LockFolder(FolderLock& lock, const std::string& folder) {
  if (lock.TryLock()) return Outcome::Ok();
  if (!lock.Error().empty())
    return Outcome::Fail(kExitFailure, "cannot lock '" + folder + "': " + lock.Error());
  return Outcome::Fail(kExitInUse, "CLDB in '" + folder + "' is in use by another process");
}

// A dump or compaction the library refused: in use by a process that holds
// the CLDB open (exit 3), or failed.
Outcome MaintenanceFailure(const CCLDBTableManager& manager, const char* verb,
                           const std::string& folder) {
  if (manager.InUse())
    return Outcome::Fail(kExitInUse, "CLDB in '" + folder + "' is in use by another process");
  return Outcome::Fail(kExitFailure,
                       std::string("cannot ") + verb + " the CLDB in '" + folder + "'");
}

// Runs the dump with the library's progress text (which names the file it
// writes) kept off standard output, in `said`, so that --json prints
// nothing but its document there.
int DumpQuietly(CCLDBTableManager& manager, EvDebug& log, const std::string& folder,
                std::string& said) {
  std::fflush(stdout);
  std::FILE* capture = std::tmpfile();
  const int saved = capture != nullptr ? dup(STDOUT_FILENO) : -1;
  if (saved < 0 || dup2(fileno(capture), STDOUT_FILENO) < 0) {
    if (saved >= 0) close(saved);
    if (capture != nullptr) std::fclose(capture);
    return -1;
  }
  const int rc = manager.DumpCacheTable(&log, folder.c_str());
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::rewind(capture);
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), capture)) > 0;) said.append(buffer, n);
  std::fclose(capture);
  return rc;
}

// The file a dump wrote, as the library names it: "... in to [NAME]".
std::string DumpFileName(const std::string& said) {
  const std::string marker = "[";
  const size_t start = said.find(marker);
  if (start == std::string::npos) return "";
  const size_t end = said.find(']', start + marker.size());
  return end == std::string::npos ? ""
                                  : said.substr(start + marker.size(), end - start - marker.size());
}

void PrintState(const StateValues& values) {
  for (const StateValues::Element& element : values.elements) {
    if (!element.present) {
      std::printf("%-16s (missing)\n", element.name);
      continue;
    }
    std::string note;
    if (std::strcmp(element.name, "State") == 0) note = StateName(element.value);
    if (std::strstr(element.name, "Time") != nullptr)
      note = fmt::Time(static_cast<uint32_t>(element.value));
    std::printf("%-16s %llu%s%s%s\n", element.name, element.value, note.empty() ? "" : " (",
                note.c_str(), note.empty() ? "" : ")");
  }
}

nlohmann::ordered_json StateJson(const StateValues& values) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (const StateValues::Element& element : values.elements)
    object[element.key] =
        element.present ? nlohmann::ordered_json(element.value) : nlohmann::ordered_json();
  return object;
}

// A dry run opens nothing of the root but the CLDB, read-only; it makes no
// root and writes no log there.
Outcome DryRun(const std::string& rootFolder, BackupOptions& options, Console& console,
               BackupResult& result) {
  Outcome outcome = KeepRootOut(options, rootFolder, console);
  if (!outcome.ok()) return outcome;
  BackupJob job(rootFolder, options, console);
  return job.Run(result);
}

Outcome RunJob(const GlobalOptions& global, BackupOptions& options, Console& console,
               BackupResult& result) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = OpenForJob(global, RootAccess::kCreate, options.identity, root);
  if (outcome.ok()) outcome = KeepRootOut(options, root->Folder(), console);
  if (!outcome.ok()) return outcome;
  // Jobs whose process died are shown and aged as such from now on; this
  // one's own CLDB is not locked yet, so its dead jobs are among them.
  std::vector<uint32_t> reaped;
  root->Storage().ReapDeadJobs(reaped);
  BackupJob job(*root, options, console);
  return job.Run(result);
}

}  // namespace

Outcome Backup(const GlobalOptions& global, BackupOptions options) {
  Console console(global.quiet);
  std::string rootFolder;
  Outcome outcome = ToolRoot::Resolve(global.root, rootFolder);
  if (outcome.ok()) outcome = PrepareBackupPaths(options, console);
  if (!outcome.ok()) return outcome;
  BackupResult result;
  outcome = options.dryRun ? DryRun(rootFolder, options, console, result)
                           : RunJob(global, options, console, result);
  if (!result.ran) return outcome;
  if (global.json)
    SetResult(report::Backup(result));
  else if (!global.quiet)
    report::PrintBackup(stdout, result, global.verbose);
  std::fflush(stdout);
  return outcome;
}

Outcome Prune(const GlobalOptions& global, CldbIdentity identity, const JobSettings& settings) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = OpenForJob(global, RootAccess::kChange, identity, root);
  if (!outcome.ok()) return outcome;
  // Pruning a CLDB that was never made would only make an empty one.
  if (!CheckFolder(root->CldbFolder(identity.FolderName())).ok())
    return Outcome::Fail(kExitBadInput,
                         "no CLDB for " + identity.Describe() + " in '" + root->Folder() + "'");
  JobSession session(*root, identity, settings, JobSession::Kind::kPrune);
  outcome = session.Acquire();
  if (outcome.ok()) outcome = session.Begin();
  if (!outcome.ok()) return outcome;
  const long long before = session.Manager().Tables().RecordCount();
  // A signal from here on stops the pass (the session's stop action).
  const bool pruned =
      interrupt::Requested() || session.Manager().PruneExpiredRecords(ZelNow32()) == 0;
  const long long after = session.Manager().Tables().RecordCount();
  _stCLDBStates stats;
  outcome = session.End(!pruned                  ? kJobFailed
                        : interrupt::Requested() ? kJobInterrupted
                                                 : kJobCompleted,
                        stats);
  if (global.json) {
    SetResult({{"job_id", session.JobId()},
               {"cldb_folder", session.CldbFolder()},
               {"records_before", before},
               {"records_after", after},
               {"removed", before - after},
               {"cldb_recreated", session.Recreated() != cldb::RecreateReason::kNone},
               {"cldb_recreated_reason", report::RecreateReasonJson(session.Recreated())}});
  } else if (!global.quiet) {
    std::printf("Pruned %s: %s record(s) removed, %s left%s\n", session.CldbFolder().c_str(),
                fmt::Count(static_cast<uint64_t>(before - after)).c_str(),
                fmt::Count(static_cast<uint64_t>(after)).c_str(),
                report::RecreatedNote(session.Recreated()).c_str());
  }
  if (!pruned) return Outcome::Fail(kExitFailure, "pruning failed; " + root->LogHint());
  return outcome;
}

Outcome Stats(const GlobalOptions& global, const CldbIdentity& identity) {
  std::unique_ptr<ToolRoot> root;
  Outcome outcome = ToolRoot::Open(global.root, RootAccess::kLook, root);
  if (!outcome.ok()) return outcome;
  const std::string folder = root->CldbFolder(identity.FolderName());
  if (!CheckFolder(folder).ok())
    return Outcome::Fail(kExitBadInput,
                         "no CLDB for " + identity.Describe() + " in '" + root->Folder() + "'");
  StateValues values;
  outcome = ReadState(folder, values);
  if (!outcome.ok()) return outcome;
  const uint64_t bytes = FolderBytes(folder);
  const unsigned long long state = values.Get("State", ~0ull);
  if (global.json) {
    SetResult({{"cldb_folder", folder},
               {"record_count", values.Get("RECORDCOUNT")},
               {"state", state},
               {"state_name", StateName(state)},
               {"last_compact_time", values.Get("LastCompactTime")},
               {"last_access_time", values.Get("LastAccessTime")},
               {"folder_bytes", bytes}});
    return Outcome::Ok();
  }
  std::printf("CLDB of %s in %s\n", identity.Describe().c_str(), folder.c_str());
  std::printf("  records          %s\n", fmt::Count(values.Get("RECORDCOUNT")).c_str());
  std::printf("  state            %llu (%s)\n", state, StateName(state));
  std::printf("  last compaction  %s\n",
              fmt::Time(static_cast<uint32_t>(values.Get("LastCompactTime"))).c_str());
  std::printf("  last access      %s\n",
              fmt::Time(static_cast<uint32_t>(values.Get("LastAccessTime"))).c_str());
  std::printf("  folder size      %s bytes (%s)\n", fmt::Count(bytes).c_str(),
              fmt::Bytes(bytes).c_str());
  return Outcome::Ok();
}

Outcome State(const GlobalOptions& global, const std::string& folder) {
  Outcome outcome = CheckFolder(folder);
  if (!outcome.ok()) return outcome;
  StateValues values;
  outcome = ReadState(folder, values);
  if (!outcome.ok()) return outcome;
  if (global.json)
    SetResult(StateJson(values));
  else
    PrintState(values);
  return Outcome::Ok();
}

Outcome Dump(const GlobalOptions& global, const std::string& folder, const std::string& outputDir) {
  Outcome outcome = CheckFolder(folder);
  if (!outcome.ok()) return outcome;
  const std::string absolute = std::filesystem::absolute(folder).string();
  FolderLock lock(absolute);
  outcome = LockFolder(lock, absolute);
  if (!outcome.ok()) return outcome;
  ToolRoot::SendLogNextTo(absolute, RootAccess::kLook);
  // The library writes the dump into the working directory.
  if (!outputDir.empty() && chdir(outputDir.c_str()) != 0)
    return Outcome::Fail(kExitBadInput,
                         "cannot enter '" + outputDir + "': " + std::strerror(errno));
  EvDebug log;
  CCLDBTableManager manager;
  std::string said;
  const int rc = global.json ? DumpQuietly(manager, log, absolute, said)
                             : manager.DumpCacheTable(&log, absolute.c_str());
  std::fflush(stdout);
  if (rc != 0) return MaintenanceFailure(manager, "dump", folder);
  if (global.json) {
    const std::string name = DumpFileName(said);
    SetResult({{"cldb_folder", absolute},
               {"dump_file", name.empty() ? name : std::filesystem::absolute(name).string()}});
  }
  return Outcome::Ok();
}

Outcome Compact(const GlobalOptions& global, const std::string& folder) {
  Outcome outcome = CheckFolder(folder);
  if (!outcome.ok()) return outcome;
  FolderLock lock(folder);
  outcome = LockFolder(lock, folder);
  if (!outcome.ok()) return outcome;
  ToolRoot::SendLogNextTo(folder, RootAccess::kChange);
  const uint64_t before = FolderBytes(folder);
  EvDebug log;
  CCLDBTableManager manager;
  if (manager.CompactCacheTable(&log, folder.c_str()) != 0)
    return MaintenanceFailure(manager, "compact", folder);
  const uint64_t after = FolderBytes(folder);
  if (global.json)
    SetResult({{"cldb_folder", folder}, {"bytes_before", before}, {"bytes_after", after}});
  else if (!global.quiet)
    std::printf("Compacted %s: %s -> %s\n", folder.c_str(), fmt::Bytes(before).c_str(),
                fmt::Bytes(after).c_str());
  return Outcome::Ok();
}

}  // namespace commands
