#include "JobSession.h"

#include "Interrupt.h"
#include "cldb/CLDBNames.h"
#include "cldb/CLDBTables.h"
#include "platform/Clock.h"

namespace {

const int32_t kSignatureType = 1;  // SHA-512 signatures
const uint32_t kDbSizeMB = 4096;   // the largest size that still compacts

}  // namespace

JobSession::JobSession(ToolRoot& root, const CldbIdentity& identity, const JobSettings& settings,
                       Kind kind)
    : root_(root),
      identity_(identity),
      settings_(settings),
      kind_(kind),
      cldbFolder_(root.CldbFolder(identity.FolderName())),
      lock_(cldbFolder_) {}

JobSession::~JobSession() {
  _stCLDBStates ignored;
  End(kJobFailed, ignored);
}

Outcome JobSession::StorageFailure(const std::string& what) {
  return Outcome::Fail(kExitFailure, what + ": " + root_.Storage().LastError());
}

Outcome JobSession::Acquire() {
  if (!lock_.TryLock()) {
    if (!lock_.Error().empty())
      return Outcome::Fail(
          kExitFailure, "cannot lock the CLDB for " + identity_.Describe() + ": " + lock_.Error());
    return Outcome::Fail(kExitInUse,
                         "CLDB for " + identity_.Describe() + " is in use by another backup");
  }
  return root_.OpenStorage();
}

Outcome JobSession::Begin() {
  uint32_t jobId = 0;
  if (root_.Storage().BeginJob(identity_.app, identity_.copy, jobId, identity_.auxCopy, kind_) != 0)
    return StorageFailure("cannot start a job on the storage side");
  jobId_ = jobId;
  startTime_ = ZelNow32();

  _CCLDBTableManagerArgs args;
  args.rootFolderKey = root_.Folder();
  args.SIDBStoreId = identity_.store;
  args.jobId = jobId_;
  args.cldbId = identity_.CldbId();
  args.isAuxCopy = identity_.auxCopy;
  args.evDebug = &log_;
  args.sigType = kSignatureType;
  args.copyId = identity_.copy;
  args.nAge = settings_.maxAgeDays * cldb::kSecondsPerDay;
  args.expiryDays = settings_.expiryDays;
  args.backupStartTime = startTime_;
  args.dbSizeMB = kDbSizeMB;
  args.extraExpiryDays = 0;
  bool offline = false;
  if (manager_.Initialize(args, offline) != 0) {
    root_.Storage().EndJob(jobId_, kJobFailed);
    if (manager_.InUse())  // another process, whatever lock folder it was given
      return Outcome::Fail(kExitInUse,
                           "CLDB for " + identity_.Describe() + " is in use by another backup");
    return Outcome::Fail(kExitFailure,
                         "cannot open the CLDB in '" + cldbFolder_ + "'; " + root_.LogHint());
  }
  offline_ = offline;
  recreated_ = manager_.Recreated();
  begun_ = true;
  interrupt::SetStopAction([this] { manager_.Tables().StopPruning(); });
  return Outcome::Ok();
}

Outcome JobSession::NewArchiveFile(uint32_t& afileId) {
  if (root_.Storage().NewArchiveFile(identity_.app, identity_.copy, jobId_, afileId) != 0)
    return StorageFailure("cannot allocate an archive file");
  afiles_.push_back(afileId);
  return Outcome::Ok();
}

Outcome JobSession::End(JobStatus status, _stCLDBStates& stats) {
  if (!begun_) return Outcome::Ok();
  begun_ = false;
  interrupt::SetStopAction(nullptr);
  manager_.GetStats(stats);
  manager_.Uninitialize(true);
  if (root_.Storage().EndJob(jobId_, status) != 0)
    return StorageFailure("cannot end job " + std::to_string(jobId_));
  return Outcome::Ok();
}
