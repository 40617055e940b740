// JobSession: one job of the tool on one CLDB, from the storage side's
// point of view and the library's.
//
// Acquire takes the CLDB's folder lock and opens the root's storage side;
// Begin then starts a job there and opens the CLDB for it through
// CCLDBTableManager::Initialize, which asks the storage side whether the
// CLDB may be trusted and which archive files it may still reference. End
// reads the job's statistics, closes the CLDB (Uninitialize) and ends the
// job on the storage side. A session that was
// begun and is destroyed without End is ended as failed, so the CLDB is
// closed cleanly on every way out that runs destructors. From Begin to End
// a signal that asks the tool to stop (Interrupt.h) also stops a pruning
// pass of the CLDB; the job itself stops where its caller reads
// interrupt::Requested().
//
// The library starts each job past every stamp the CLDB holds, so a job may
// begin in the very second the last one ended, or after the clock was set
// back. When another process has the CLDB open, Begin fails with
// kExitInUse, whatever lock the folder lock above saw.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CldbIdentity.h"
#include "Outcome.h"
#include "ToolRoot.h"
#include "cldb/CLDBTableManager.h"
#include "cldb/CLDBTypes.h"
#include "platform/EvDebug.h"

struct JobSettings {
  uint32_t expiryDays = 30;
  uint32_t maxAgeDays = 0;  // 0: blocks never age out
};

// Job statuses recorded on the storage side by End.
enum JobStatus : int { kJobCompleted = 0, kJobFailed = 1, kJobInterrupted = 2, kJobPartial = 3 };

class JobSession {
 public:
  using Kind = cldb::SqliteStorageBackend::JobKind;
  // `kind` is what the storage side records the job as.
  JobSession(ToolRoot& root, const CldbIdentity& identity, const JobSettings& settings,
             Kind kind = Kind::kBackup);
  ~JobSession();
  JobSession(const JobSession&) = delete;
  JobSession& operator=(const JobSession&) = delete;

  Outcome Acquire();
  Outcome Begin();
  // Allocates the job's next archive file.
  Outcome NewArchiveFile(uint32_t& afileId);
  // Closes the CLDB and ends the job; `stats` receives the job's counters.
  Outcome End(JobStatus status, _stCLDBStates& stats);

  CCLDBTableManager& Manager() { return manager_; }
  uint32_t JobId() const { return jobId_; }
  uint32_t StartTime() const { return startTime_; }
  // True when the storage side reports a mount path of the copy offline.
  bool Offline() const { return offline_; }
  // Why the job began with an empty CLDB; kNone when it reused the one there.
  cldb::RecreateReason Recreated() const { return recreated_; }
  const std::string& CldbFolder() const { return cldbFolder_; }
  const std::vector<uint32_t>& ArchiveFiles() const { return afiles_; }

 private:
  Outcome StorageFailure(const std::string& what);

  ToolRoot& root_;
  CldbIdentity identity_;
  JobSettings settings_;
  const Kind kind_;
  std::string cldbFolder_;
  FolderLock lock_;
  EvDebug log_;
  CCLDBTableManager manager_;
  uint32_t jobId_ = 0;
  uint32_t startTime_ = 0;
  bool offline_ = false;
  cldb::RecreateReason recreated_ = cldb::RecreateReason::kNone;
  bool begun_ = false;
  std::vector<uint32_t> afiles_;
};
