#include "CldbLookup.h"

#include <sys/stat.h>

#include <cstring>

#include "StateReader.h"
#include "cldb/CLDBTime.h"
#include "platform/CTkCRC64.h"
#include "platform/Clock.h"
#include "storage/SqliteStorageBackend.h"

namespace {

const unsigned long long kClosed = 2;  // State.xml: closed cleanly, may be reused
const uint32_t kDay = 86400;

// The table's key of a signature: its CRC-64, where 0 (the key of expired
// records) stands as 1.
unsigned long long KeyOf(const unsigned char (&digest)[64]) {
  CTkCRC64 crc;
  crc.UpdateCRC64(digest, sizeof(digest));
  const unsigned long long value = crc.GetCRC64();
  return value != 0 ? value : 1;
}

}  // namespace

CldbLookup::~CldbLookup() {
  if (open_) table_.close();
}

Outcome CldbLookup::Open(const std::string& root, const CldbIdentity& identity,
                         const JobSettings& settings) {
  const std::string folder = root + "/" + identity.FolderName();
  settings_ = settings;
  // A dry run writes no log file: only the library's warnings and errors,
  // on standard error.
  log_.SetThreshold(0);
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    why_ = "there is no CLDB yet";
    return Outcome::Ok();
  }
  lock_ = std::make_unique<FolderLock>(folder);
  if (!lock_->TryLock()) {
    if (lock_->Error().empty())
      return Outcome::Fail(kExitInUse, "CLDB in '" + folder + "' is in use by another process");
    return Outcome::Fail(kExitFailure, "cannot lock '" + folder + "': " + lock_->Error());
  }
  StateValues values;
  if (!ReadState(folder, values).ok() || values.Get("State", ~0ull) != kClosed) {
    why_ = "the CLDB was not closed cleanly; a job would start it empty";
    return Outcome::Ok();
  }
  start_ = JobStart(static_cast<uint32_t>(values.Get("NewestStamp")));
  if (!ReadValidArchiveFiles(root, identity)) return Outcome::Ok();
  // Only the expiry and the age matter to a read-only look-up.
  table_.Initialize(1, 0, &log_, settings.maxAgeDays, settings.expiryDays, start_, false);
  if (table_.initialize((folder + "/CacheTable").c_str()) != 0 ||
      table_.Open(ZelIndexing::kReadOnly) != 0) {
    why_ = "the CLDB's table does not open; a job would start it empty";
    return Outcome::Ok();
  }
  open_ = true;
  return Outcome::Ok();
}

bool CldbLookup::ReadValidArchiveFiles(const std::string& root, const CldbIdentity& identity) {
  struct stat info {};
  if (lstat((root + "/" + cldb::SqliteStorageBackend::kFileName).c_str(), &info) != 0) {
    why_ = "there is no storage database; no archive file is known to be valid";
    return false;
  }
  cldb::SqliteStorageBackend::Options options;
  options.readOnly = true;
  std::string error;
  std::unique_ptr<cldb::SqliteStorageBackend> storage =
      cldb::SqliteStorageBackend::Open(root, options, error);
  ListAfileIdByAppIdArgs_t request;
  request.appId = identity.CldbId();
  request.copyId = identity.copy;
  request.oldestArchFileId = 0;
  ListAfileIdByAppIdRet_t reply;
  if (!storage || storage->listAfileIdByAppId(request, reply) != 0) {
    why_ = "the storage database cannot be read (" + (storage ? storage->LastError() : error) +
           "); no archive file is known to be valid";
    return false;
  }
  if ((reply.retFlags & ZELA_ANY_MOUNTPATH_OFFLINE_FLAG) != 0) {
    why_ = "a mount path of copy " + std::to_string(identity.copy) +
           " is offline; a job would store every block";
    return false;
  }
  valid_.insert(reply.afileIds.begin(), reply.afileIds.end());
  return true;
}

// As a job starts: after the CLDB's newest stamp, unless that lies so far
// ahead of the clock that the job lowers the stamps instead.
uint32_t CldbLookup::JobStart(uint32_t newestStamp) {
  const uint32_t clock = ZelNow32();
  if (cldb::Before(clock + cldb::kMaxLeadSeconds, newestStamp)) return clock;
  return cldb::Later(clock, newestStamp + 1);
}

// The job's verdict: ages measured from its start with the tolerance the
// table applies, a stamp after the start counting as lowered to just before it.
bool CldbLookup::Live(const _CacheRecord& record) const {
  if ((record.Flags & CACHE_FLAG_EXPIRED) != 0 || record.tagHdrCount != 0) return false;
  if (valid_.count(record.archiveFileId) == 0) return false;
  const uint32_t stamp =
      cldb::Before(record.LastUpdateTime, start_) ? record.LastUpdateTime : start_ - 1;
  if (uint32_t(start_ - stamp + cldb::kTimeTolerance) >= settings_.expiryDays * kDay) return false;
  return settings_.maxAgeDays == 0 || uint32_t(start_ - record.ArchivingTime +
                                               cldb::kTimeTolerance) < settings_.maxAgeDays * kDay;
}

bool CldbLookup::Find(const unsigned char (&digest)[64], uint32_t size) {
  if (!open_) return false;
  for (int rc = table_.FindFirstCrc64(KeyOf(digest)); rc == 0; rc = table_.FindNextCrc64()) {
    const _CacheRecord& record = *table_.getRecordPointer();
    if (std::memcmp(record.Signature, digest, sizeof(digest)) == 0 && record.size == size &&
        Live(record))
      return true;
  }
  return false;
}
