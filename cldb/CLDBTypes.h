// Records shared by the layers of the CLDB and its callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cldb/Export.h"

class EvDebug;

// ---- the stored cache record ------------------------------------------------

// Bit of _CacheRecord::Flags that marks a record expired; an expired record
// is stored under the crc64 key 0.
enum : unsigned int { CACHE_FLAG_EXPIRED = 0x40 };

// Index numbers of the cache table.
enum { INDEX_CACHE_CRC64 = 0, INDEX_CACHE_ARCHIVEFILEID = 1 };

#pragma pack(push, 4)
// One cached block: 120 bytes, the table's fixed record layout.
struct _CacheRecord {
  uint32_t Spare;        // always 0
  uint32_t tagHdrCount;  // tag-header count of the block
  uint64_t crc64;        // key: CRC-64 of Signature (1 when 0); 0 when expired
  unsigned char Signature[64];
  uint64_t size;            // data size of the block
  uint32_t archiveFileId;   // archive file that holds the block
  uint32_t ArchivingTime;   // archiving time given at insertion
  uint32_t LastUpdateTime;  // set at insertion and on every hit
  uint32_t InsertedTime;    // set at insertion
  uint32_t Flags;           // signature type; CACHE_FLAG_EXPIRED
  int32_t subStoreID;       // 0: none given
  uint64_t reserved2;       // always 0
};
#pragma pack(pop)

static_assert(sizeof(_CacheRecord) == 120, "_CacheRecord is the 120-byte stored layout");
static_assert(offsetof(_CacheRecord, Spare) == 0);
static_assert(offsetof(_CacheRecord, tagHdrCount) == 4);
static_assert(offsetof(_CacheRecord, crc64) == 8);
static_assert(offsetof(_CacheRecord, Signature) == 16);
static_assert(offsetof(_CacheRecord, size) == 80);
static_assert(offsetof(_CacheRecord, archiveFileId) == 88);
static_assert(offsetof(_CacheRecord, ArchivingTime) == 92);
static_assert(offsetof(_CacheRecord, LastUpdateTime) == 96);
static_assert(offsetof(_CacheRecord, InsertedTime) == 100);
static_assert(offsetof(_CacheRecord, Flags) == 104);
static_assert(offsetof(_CacheRecord, subStoreID) == 108);
static_assert(offsetof(_CacheRecord, reserved2) == 112);

// ---- what callers pass ---------------------------------------------------------

// The caller's description of one block.
struct CacheRecordRef {
  unsigned char Signature[64];
  uint64_t size = 0;
  uint32_t tagHdrCount = 0;
  uint32_t ArchivingTime = 0;  // insertion: stored; query: the time ages are measured at
  uint32_t archiveFileId = 0;  // insertion: holder; query: where a hit is re-pointed
  int32_t subStoreID = 0;      // 0: none given
  // Members after this point belong to the caller; the CLDB never touches them.
  void* callerData = nullptr;
};

// One element of a query batch.
struct CLDBQuerySignature {
  CacheRecordRef record;
  uint32_t found = 0;  // set by the CLDB: 1 on a hit, 0 otherwise
  // Caller-owned from here on.
  void* callerData = nullptr;
};

// ---- statistics -----------------------------------------------------------------

// Query outcomes of one job. Each counter is a plain 32-bit value written by
// the thread that holds the instance's lock; readers on other threads load
// them with relaxed atomic loads (see CLDBStats.h).
struct _stCLDBStates {
  uint32_t crcNotFound = 0;
  uint32_t aged = 0;
  uint32_t expired = 0;
  uint32_t mismatchedTagCount = 0;
  uint32_t mismatchedDataSize = 0;
  uint32_t mismatchedSignature = 0;
  uint32_t insertedByThisJob = 0;  // never raised
  uint32_t expiredInThisJob = 0;   // never raised
  uint32_t foundPruned = 0;
  uint32_t offlineSubstores = 0;
};

// ---- CLDB state -------------------------------------------------------------------

enum : unsigned int {
  CLDB_STATE_UNINITIALIZED = 0,
  CLDB_STATE_OPENED = 1,
  CLDB_STATE_CLOSED = 2,
};
enum : unsigned int { CLDB_VERSION = 2 };

namespace cldb {

// Why the CLDB a job opened began empty (CCLDBTableManager::Recreated).
enum class RecreateReason {
  kNone,          // the CLDB was reused as it was
  kNew,           // the folder held no CLDB yet
  kDirty,         // the storage side asked for an empty one (a client CLDB
                  // marked dirty, an auxiliary copy's not clean)
  kUnclosed,      // its last user ended without closing it (a crash, a kill)
  kDamaged,       // State.xml or the table could not be read or verified, or
                  // one of its files was not a regular file
  kOtherStore,    // it mirrors another deduplication store
  kIncompatible,  // its version cannot serve the configured maximum size
};

// "none", "new", "dirty", "unclosed", "damaged", "other_store" or
// "incompatible": stable names for hosts to print and match.
CLDB_EXPORT const char* RecreateReasonName(RecreateReason reason);

}  // namespace cldb

// ---- manager arguments ------------------------------------------------------------

struct _CCLDBTableManagerArgs {
  std::string rootFolderKey;
  uint32_t SIDBStoreId = 0;
  uint64_t jobId = 0;
  uint32_t cldbId = 0;
  bool isAuxCopy = false;
  EvDebug* evDebug = nullptr;
  int32_t sigType = 0;
  uint32_t copyId = 0;
  uint32_t nAge = 0;
  uint32_t expiryDays = 0;
  uint32_t backupStartTime = 0;
  uint32_t dbSizeMB = 0;
  uint32_t extraExpiryDays = 0;
};
