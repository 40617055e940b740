// Storage-side services: the archive manager, the media manager, subclient
// properties and installation-domain facts, as the library calls them.
//
// Every service object is made for one call sequence and destroyed at once.
// All of them reach one process-wide, replaceable backend (StorageBackend);
// the host installs the backend that talks to its storage side. Until one is
// installed every service call fails, so the library never trusts a CLDB
// that no storage side vouches for.
#pragma once

#include "platform/Export.h"
#include "platform/ZelPlatformInfo.h"

#include <memory>
#include <string>
#include <vector>

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
  std::vector<int> afileIds;  // archive-file ids, as signed 32-bit values
  unsigned int retFlags;      // bit 0: ZELA_ANY_MOUNTPATH_OFFLINE_FLAG
  ListAfileIdByAppIdRet_t() {}  // builds only the vector, as callers expect
};

struct CLDB_EXPORT GetAgroupCopyInfoArgs_t {
  unsigned long long copyId = 0;
  unsigned long long hubcellId = 0;
};

struct CLDB_EXPORT GetAgroupCopyInfoRet_t {
  std::string copyName;     // display name of the copy
  std::string storagePolicyName;
};

struct CLDB_EXPORT MMAFToRecopy {
  int afileId = 0;
  unsigned int copyId = 0;
};

// ---- the backend ----------------------------------------------------------

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

// ---- the service objects the library uses ---------------------------------

class CLDB_EXPORT ArMgrClientAPI {
 public:
  int listAfileIdByAppId(ListAfileIdByAppIdArgs_t& args, ListAfileIdByAppIdRet_t& ret);
  int getAgroupCopyInfo(GetAgroupCopyInfoArgs_t& args, GetAgroupCopyInfoRet_t& ret);
  int isCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId, bool& clean);
  int setCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId);

 private:
  std::shared_ptr<StorageBackend> backend_ = StorageBackend::Current();
};

class CLDB_EXPORT ArMgrCacheInfo {
 public:
  static bool setCachDBLastArchFileId(unsigned int cldbId, unsigned long long jobId,
                                      unsigned int leastAFileId);
};

class CLDB_EXPORT Subclient {
 public:
  explicit Subclient(unsigned int appId) : appId_(appId) {}
  int IsClientCacheDBDirty(int& dirty, void* reserved);
  int setClientCacheDBDirty(int dirty, void* reserved);

 private:
  unsigned int appId_;
  std::shared_ptr<StorageBackend> backend_ = StorageBackend::Current();
};

class CLDB_EXPORT MLMMessageInstance {
 public:
  int Init(int kind, const char* name);
  bool IsConnected() const { return connected_; }

 private:
  bool connected_ = false;
  std::shared_ptr<StorageBackend> backend_ = StorageBackend::Current();
};

class CLDB_EXPORT ZelMMIdxSIDBStoreInfo {
 public:
  explicit ZelMMIdxSIDBStoreInfo(MLMMessageInstance& instance) : instance_(instance) {}
  int getAFsToRecopyForCopy(unsigned int copyId, std::vector<MMAFToRecopy>& list, int& flags);

 private:
  MLMMessageInstance& instance_;
  std::shared_ptr<StorageBackend> backend_ = StorageBackend::Current();
};

// Installation-domain facts.
class CLDB_EXPORT ZelPI_Hubmaster : public ZelPI_PlatformBase {
 public:
  unsigned long long getHubcellId();
};

// An event object of the host; the library only constructs and destroys it.
class CLDB_EXPORT EvEvent {
 public:
  EvEvent() = default;
};
