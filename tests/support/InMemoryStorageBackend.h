// An in-memory storage side: the default backend, and the one tests use.
// It answers from the data set through its setters, records every request it
// receives, and can be told to fail any call with a given status (the call
// then changes nothing and leaves its out-values untouched).
//
// Answers for what was never set: a client is dirty (1), so that its first
// CLDB is made fresh; a copy is not clean; no archive file is valid or
// recopied; no mount path is offline; a copy is named "Copy <id>".
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "cldb/Export.h"
#include "cldb/StorageBackend.h"

namespace cldb {

class InMemoryStorageBackend : public StorageBackend {
 public:
  // Names of the calls, for failure injection and the request record.
  enum Call {
    kListAfileIdByAppId,
    kGetAgroupCopyInfo,
    kIsCopyClientCacheDBClean,
    kSetCopyClientCacheDBClean,
    kSetCachDBLastArchFileId,
    kIsClientCacheDBDirty,
    kSetClientCacheDBDirty,
    kConnectMediaManager,
    kGetAFsToRecopyForCopy,
    kCallCount
  };

  // One request as received, with its main arguments.
  struct Request {
    Call call;
    std::vector<unsigned long long> args;
  };

  int listAfileIdByAppId(const ListAfileIdByAppIdArgs_t& args,
                         ListAfileIdByAppIdRet_t& ret) override;
  int getAgroupCopyInfo(const GetAgroupCopyInfoArgs_t& args, GetAgroupCopyInfoRet_t& ret) override;
  int isCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId, bool& clean) override;
  int setCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId) override;
  bool setCachDBLastArchFileId(unsigned int cldbId, unsigned long long jobId,
                               unsigned int leastAFileId) override;
  int isClientCacheDBDirty(unsigned int appId, int& dirty) override;
  int setClientCacheDBDirty(unsigned int appId, int dirty) override;
  int connectMediaManager(int kind) override;
  int getAFsToRecopyForCopy(unsigned int copyId, std::vector<MMAFToRecopy>& list,
                            int& flags) override;
  unsigned long long getHubcellId() override;

  // ---- data ----
  // Archive files the client `appId` may still reference (all copies).
  void SetValidAFiles(unsigned int appId, std::vector<int> ids);
  void SetMountPathOffline(unsigned int copyId, bool offline);
  void SetCopyName(unsigned int copyId, const std::string& name);
  void SetClientDirty(unsigned int appId, int dirty);
  void SetCopyClean(unsigned int copyId, bool clean);
  void SetRecopied(unsigned int copyId, std::vector<int> ids);
  void SetHubcellId(unsigned long long id);
  int ClientDirty(unsigned int appId) const;  // -1 when never set
  bool CopyClean(unsigned int copyId) const;
  bool LastArchFileId(unsigned int cldbId, unsigned int& leastAFileId) const;

  // ---- failure injection and request record ----
  // Makes `call` return `status` (0 clears it) from now on.
  void FailCall(Call call, int status);
  std::vector<Request> Requests() const;
  size_t CountRequests(Call call) const;
  void ClearRequests();

 private:
  int Enter(Call call, std::vector<unsigned long long> args);  // records; injected status

  mutable std::mutex mutex_;
  std::map<unsigned int, std::vector<int>> validAFiles_;
  std::set<unsigned int> offlineCopies_;
  std::map<unsigned int, std::string> copyNames_;
  std::map<unsigned int, int> clientDirty_;
  std::map<unsigned int, bool> copyClean_;
  std::map<unsigned int, std::vector<int>> recopied_;
  std::map<unsigned int, unsigned int> lastArchFileIds_;
  unsigned long long hubcellId_ = 1;
  int failures_[kCallCount] = {};
  std::vector<Request> requests_;
};

}  // namespace cldb
