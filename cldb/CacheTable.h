// CCacheTable: the signature cache table of one CLDB.
//
// An indexed table of fixed-length _CacheRecord images on the TCtreeTable
// engine. Each record says that a block with a given 64-byte signature, data
// size and tag-header count is stored in a given archive file. Two indexes:
//   INDEX_CACHE_CRC64          the CRC-64 of the signature (never 0: a CRC of
//                              0 is stored as 1, because the key 0 holds every
//                              expired record);
//   INDEX_CACHE_ARCHIVEFILEID  the archive file that holds the block.
//
// A query walks the records under its CRC-64 key and applies the match rules
// in a fixed order: signature, size, tag-header count, expiry, archiving age,
// then substores and the recopied and valid archive-file lists. Candidates
// found stale on the way are expired (moved to key 0); a hit is refreshed and
// re-pointed at the querying job's archive file. The outcomes are counted in
// a _stCLDBStates record that GetStats may read from any thread.
//
// Time. Each job has an effective start (StartJob). A record last used
// before it was stamped by an earlier job and may only hit when the job's
// list vouches for it: the valid list of a client, the recopied list of an
// auxiliary copy (the one that was loaded for this job, MarkJobListLoaded).
// Until that list is loaded, such a record misses and is left as it is. A
// record last used at or after the start was inserted or hit by this job.
// Stamps (LastUpdateTime, InsertedTime) are never earlier than the start,
// so the owner, by starting each job past the newest stamp the CLDB holds,
// keeps the two kinds apart whatever the clock does. Times compare as
// serial numbers (cldb/CLDBTime.h). On purpose, this differs from the
// documented query: a stamp is the later of now and the job's start rather
// than now; the comparison with the start is serial rather than plain; and
// a record of an earlier job misses while no list of this job is loaded,
// where the documented query skipped the check for a list never installed.
//
// Every read lands in the single current-record buffer (getRecordPointer()),
// and the engine keeps one position per table, so a table serves one thread
// at a time: the owning CLDB instance serialises all calls except GetStats.
// Operations work inside and outside an engine batch (BeginBatch/EndBatch).
// "Now" is ZelNow32() (platform/Clock.h), which tests may replace.
//
// Results of the finds: 0 a record is current, -1 none (or the key could not
// be built), -2 an engine error (logged). The other operations return 0 for
// success, -1 for their own failure, or the engine's code where noted.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "cldb/CLDBTypes.h"
#include "cldb/Export.h"
#include "platform/TCtreeTable.h"

class EvDebug;

class CCacheTable : public TCtreeTable {
 public:
  CCacheTable();
  // Does not close the table; the owner does.
  ~CCacheTable() override;

  // ---- set-up ------------------------------------------------------------
  // Stores the query settings and zeroes the counters; always 0. `mode` is
  // kept but not interpreted. Called before initialize(). Starts a job at
  // `backupStartTime` with no list loaded.
  int Initialize(unsigned int mode, int sigType, EvDebug* log, unsigned int nAge,
                 unsigned int expiryDays, unsigned int backupStartTime, bool auxCopy);
  // Starts a job at `start`, with no list loaded yet.
  void StartJob(uint32_t start);
  uint32_t JobStart() const { return backupStartTime; }
  // The newest stamp written since the table was initialised, and never
  // earlier than the job's start less one second.
  uint32_t NewestStamp() const { return newestStamp; }
  // The current job's own list has been loaded (see Time above).
  void MarkJobListLoaded() { jobListLoaded = true; }
  bool JobListLoaded() const { return jobListLoaded; }
  // Declares the table "<path>" and its schema to the engine.
  virtual int initialize(const char* path);
  // Engine hook: buffer count and node size from the configuration section
  // "Warden" (auxiliary copy) or "Courier".
  void registerTable() override;
  const char* getTableType() override;
  int createHugeFile() override;
  int Open(ZelIndexing::TAccessEnum access);

  _CacheRecord* getRecordPointer() { return &record; }

  // The lists the query consults. Not owned; nullptr uninstalls.
  void setValidAfileIdMap(std::map<unsigned int, unsigned int>* map);
  void setRecopiedAFileIdMap(std::map<unsigned int, unsigned int>* map);
  void setInactiveSubstoresIdMap(std::map<int, int>* map);

  // Safe on any thread while another one queries.
  void GetStats(_stCLDBStates& out) const;

  // ---- lookup and insertion --------------------------------------------------
  int FindFirstCrc64(unsigned long long crc64);
  int FindNextCrc64();
  // Makes the live record equal to `ref` (signature, size, tag-header count,
  // archiving time, archive file) current; 0 or -1. `crc64` 0: computed.
  int SearchRecord(CacheRecordRef& ref, unsigned long long crc64);
  // 0 on a hit (record refreshed and re-pointed at ref.archiveFileId), -1
  // otherwise. Never writes into `ref`.
  int QuerySignature(CacheRecordRef& ref);
  // Expires the current record from a copy of `rec`; `rec` stays as it was.
  int ExpireSignature(_CacheRecord& rec);
  int AddCacheRecord(CacheRecordRef& ref, unsigned long long crc64);
  int UpdateLastCacheTime(CacheRecordRef& ref);
  int DeleteCacheRecord(CacheRecordRef& ref);

  // ---- scans in archive-file order -----------------------------------------
  // The first record whose archive file is >= afileId (callers compare).
  int FindFirstRecordByAfileId(unsigned int afileId);
  int FindNextRecordByAfileId();
  // Every record of archive file 1 and up, expired ones included.
  int FindFirstRecord();
  int FindNextRecord();

  // ---- retirement ----------------------------------------------------------------
  int MarkRecordsExpired(unsigned int afileId);
  // Deletes the expired records. `quit` is read before every record; another
  // thread sets it to end the pass early (still 0).
  int CleanUpExpiredSignatures(const std::atomic<bool>& quit);
  // Least archive-file id held (0 for an empty table), expired records
  // included.
  int GetLeastAFileId(unsigned int& afileId);
  // Compacts the files and rebuilds the indexes of a defined, closed table.
  int MakeCompactDB();
  // Sets LastUpdateTime to `ceiling` on every record (archive file 0 and
  // expired records included) last used after it; 0, or non-zero when a
  // read or a rewrite failed.
  int LowerStampsAfter(uint32_t ceiling);

 private:
  enum Verdict { kSkip, kExpire, kTake };

  int ReadResult(int rc, const char* name, const char* what);
  int SeekAfileId(unsigned int afileId, const char* name, const char* keyFailure);
  int NextByAfileId(const char* name, const char* what);

  Verdict Judge(const CacheRecordRef& ref);
  int TakeCandidate(const CacheRecordRef& ref, unsigned long long key);
  bool MayReference(const CacheRecordRef& ref);
  bool Reject(uint32_t& counter);
  uint32_t Stamp();  // the time for a stamp now: never before the job's start

  _CacheRecord record;
  EvDebug* log = nullptr;
  int sigType = 0;
  uint32_t nAge = 0;             // 0: no age limit
  uint32_t expirySeconds = 0;    // expiry days * 86400, wrapping
  uint32_t backupStartTime = 0;  // the job's effective start
  uint32_t newestStamp = 0;
  bool jobListLoaded = false;
  _stCLDBStates stats;
  std::map<unsigned int, unsigned int>* validAfileIdMap = nullptr;
  std::map<unsigned int, unsigned int>* recopiedAFileIdMap = nullptr;
  std::map<int, int>* inactiveSubstoresIdMap = nullptr;
  std::string fileName;
  bool auxCopy = false;
  unsigned int mode = 0;
};
