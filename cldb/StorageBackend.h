// The storage side as a host provides it: the one backend that every
// storage-side call of the library reaches, and the records those calls
// carry (the names of the records are the storage side's own).
//
// The host installs its backend once, before the first Initialize
// (StorageBackend::Install); until one is installed every storage-side call
// fails, so the library never trusts a CLDB that no storage side vouches
// for. A backend is called from the threads that call the library.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cldb/Export.h"

// ---- call records ---------------------------------------------------------

struct CLDB_EXPORT ListAfileIdByAppIdArgs_t {
  unsigned int jobId = 0;  // low 32 bits of the job id
  unsigned int appId = 0;
  unsigned int copyId = 0;
  unsigned int SIDBStoreId = 0;
  unsigned int oldestArchFileId = 0;
  unsigned int reserved1 = 0;
  unsigned int reserved2 = 0;
};

enum : unsigned int { ZELA_ANY_MOUNTPATH_OFFLINE_FLAG = 0x1 };

struct CLDB_EXPORT ListAfileIdByAppIdRet_t {
  std::vector<int> afileIds;    // archive-file ids, as signed 32-bit values
  unsigned int retFlags;        // bit 0: ZELA_ANY_MOUNTPATH_OFFLINE_FLAG
  ListAfileIdByAppIdRet_t() {}  // builds only the vector, as callers expect
};

struct CLDB_EXPORT GetAgroupCopyInfoArgs_t {
  unsigned long long copyId = 0;
  unsigned long long hubcellId = 0;
};

struct CLDB_EXPORT GetAgroupCopyInfoRet_t {
  std::string copyName;  // display name of the copy
  std::string storagePolicyName;
};

struct CLDB_EXPORT MMAFToRecopy {
  int afileId = 0;
  unsigned int copyId = 0;
};

// ---- the backend ----------------------------------------------------------

namespace cldb {

class CLDB_EXPORT StorageBackend {
 public:
  virtual ~StorageBackend();

  // Archive manager.
  virtual int listAfileIdByAppId(const ListAfileIdByAppIdArgs_t& args,
                                 ListAfileIdByAppIdRet_t& ret) = 0;
  virtual int getAgroupCopyInfo(const GetAgroupCopyInfoArgs_t& args,
                                GetAgroupCopyInfoRet_t& ret) = 0;
  virtual int isCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId, bool& clean) = 0;
  virtual int setCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId) = 0;
  virtual bool setCachDBLastArchFileId(unsigned int cldbId, unsigned long long jobId,
                                       unsigned int leastAFileId) = 0;
  // Subclient properties.
  virtual int isClientCacheDBDirty(unsigned int appId, int& dirty) = 0;
  virtual int setClientCacheDBDirty(unsigned int appId, int dirty) = 0;
  // Media manager.
  virtual int connectMediaManager(int kind) = 0;
  virtual int getAFsToRecopyForCopy(unsigned int copyId, std::vector<MMAFToRecopy>& list,
                                    int& flags) = 0;
  // Installation domain.
  virtual unsigned long long getHubcellId() = 0;

  // The process-wide backend, or nullptr when none is installed. Install
  // replaces it (nullptr uninstalls) and returns the previous one.
  static std::shared_ptr<StorageBackend> Current();
  static std::shared_ptr<StorageBackend> Install(std::shared_ptr<StorageBackend> backend);
};

}  // namespace cldb
