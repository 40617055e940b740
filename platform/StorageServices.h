// Storage-side services: the archive manager, the media manager, subclient
// properties and installation-domain facts, as the library calls them.
//
// Every service object is made for one call sequence and destroyed at once.
// All of them reach the process-wide backend the host installed
// (cldb/StorageBackend.h); without one, every service call fails.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cldb/StorageBackend.h"
#include "platform/ZelPlatformInfo.h"

// ---- the service objects the library uses ---------------------------------

class ArMgrClientAPI {
 public:
  int listAfileIdByAppId(ListAfileIdByAppIdArgs_t& args, ListAfileIdByAppIdRet_t& ret);
  int getAgroupCopyInfo(GetAgroupCopyInfoArgs_t& args, GetAgroupCopyInfoRet_t& ret);
  int isCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId, bool& clean);
  int setCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId);

 private:
  std::shared_ptr<cldb::StorageBackend> backend_ = cldb::StorageBackend::Current();
};

class ArMgrCacheInfo {
 public:
  static bool setCachDBLastArchFileId(unsigned int cldbId, unsigned long long jobId,
                                      unsigned int leastAFileId);
};

class Subclient {
 public:
  explicit Subclient(unsigned int appId) : appId_(appId) {}
  int IsClientCacheDBDirty(int& dirty, void* reserved);
  int setClientCacheDBDirty(int dirty, void* reserved);

 private:
  unsigned int appId_;
  std::shared_ptr<cldb::StorageBackend> backend_ = cldb::StorageBackend::Current();
};

class MLMMessageInstance {
 public:
  int Init(int kind, const char* name);
  bool IsConnected() const { return connected_; }

 private:
  bool connected_ = false;
  std::shared_ptr<cldb::StorageBackend> backend_ = cldb::StorageBackend::Current();
};

class ZelMMIdxSIDBStoreInfo {
 public:
  explicit ZelMMIdxSIDBStoreInfo(MLMMessageInstance& instance) : instance_(instance) {}
  int getAFsToRecopyForCopy(unsigned int copyId, std::vector<MMAFToRecopy>& list, int& flags);

 private:
  MLMMessageInstance& instance_;
  std::shared_ptr<cldb::StorageBackend> backend_ = cldb::StorageBackend::Current();
};

// Installation-domain facts.
class ZelPI_Hubmaster : public ZelPI_PlatformBase {
 public:
  unsigned long long getHubcellId();
};

// An event object of the host; the library only constructs and destroys it.
class EvEvent {
 public:
  EvEvent() = default;
};
