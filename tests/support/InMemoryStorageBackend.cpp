#include "support/InMemoryStorageBackend.h"

#include <algorithm>

namespace cldb {

namespace {

template <typename Map, typename Value>
Value Find(const Map& map, unsigned int key, Value fallback) {
  auto it = map.find(key);
  return it == map.end() ? fallback : it->second;
}

}  // namespace

int InMemoryStorageBackend::Enter(Call call, std::vector<unsigned long long> args) {
  requests_.push_back(Request{call, std::move(args)});
  return failures_[call];
}

int InMemoryStorageBackend::listAfileIdByAppId(const ListAfileIdByAppIdArgs_t& args,
                                               ListAfileIdByAppIdRet_t& ret) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (int rc = Enter(kListAfileIdByAppId, {args.jobId, args.appId, args.copyId, args.SIDBStoreId,
                                           args.oldestArchFileId}))
    return rc;
  // Which archive files are still referenced is the storage side's decision;
  // the list is handed over as it was set.
  ret.afileIds = Find(validAFiles_, args.appId, std::vector<int>());
  ret.retFlags = offlineCopies_.count(args.copyId) ? unsigned{ZELA_ANY_MOUNTPATH_OFFLINE_FLAG} : 0u;
  return 0;
}

int InMemoryStorageBackend::getAgroupCopyInfo(const GetAgroupCopyInfoArgs_t& args,
                                              GetAgroupCopyInfoRet_t& ret) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (int rc = Enter(kGetAgroupCopyInfo, {args.copyId, args.hubcellId})) return rc;
  auto it = copyNames_.find(static_cast<unsigned int>(args.copyId));
  ret.copyName = it != copyNames_.end() ? it->second : "Copy " + std::to_string(args.copyId);
  return 0;
}

int InMemoryStorageBackend::isCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId,
                                                     bool& clean) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (int rc = Enter(kIsCopyClientCacheDBClean, {jobId, copyId})) return rc;
  clean = Find(copyClean_, copyId, false);
  return 0;
}

int InMemoryStorageBackend::setCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (int rc = Enter(kSetCopyClientCacheDBClean, {jobId, copyId})) return rc;
  copyClean_[copyId] = true;
  return 0;
}

bool InMemoryStorageBackend::setCachDBLastArchFileId(unsigned int cldbId, unsigned long long jobId,
                                                     unsigned int leastAFileId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Enter(kSetCachDBLastArchFileId, {cldbId, jobId, leastAFileId})) return false;
  lastArchFileIds_[cldbId] = leastAFileId;
  return true;
}

// A client never seen is reported dirty, so its first CLDB is made fresh.
int InMemoryStorageBackend::isClientCacheDBDirty(unsigned int appId, int& dirty) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (int rc = Enter(kIsClientCacheDBDirty, {appId})) return rc;
  dirty = Find(clientDirty_, appId, 1);
  return 0;
}

int InMemoryStorageBackend::setClientCacheDBDirty(unsigned int appId, int dirty) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (int rc = Enter(kSetClientCacheDBDirty, {appId, static_cast<unsigned long long>(dirty)}))
    return rc;
  clientDirty_[appId] = dirty;
  return 0;
}

int InMemoryStorageBackend::connectMediaManager(int kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Enter(kConnectMediaManager, {static_cast<unsigned long long>(kind)});
}

int InMemoryStorageBackend::getAFsToRecopyForCopy(unsigned int copyId,
                                                  std::vector<MMAFToRecopy>& list, int& flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (int rc = Enter(kGetAFsToRecopyForCopy, {copyId})) return rc;
  list.clear();
  for (int id : Find(recopied_, copyId, std::vector<int>())) list.push_back({id, copyId});
  flags = offlineCopies_.count(copyId) ? static_cast<int>(ZELA_ANY_MOUNTPATH_OFFLINE_FLAG) : 0;
  return 0;
}

unsigned long long InMemoryStorageBackend::getHubcellId() {
  std::lock_guard<std::mutex> lock(mutex_);
  return hubcellId_;
}

void InMemoryStorageBackend::SetValidAFiles(unsigned int appId, std::vector<int> ids) {
  std::lock_guard<std::mutex> lock(mutex_);
  validAFiles_[appId] = std::move(ids);
}

void InMemoryStorageBackend::SetMountPathOffline(unsigned int copyId, bool offline) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (offline)
    offlineCopies_.insert(copyId);
  else
    offlineCopies_.erase(copyId);
}

void InMemoryStorageBackend::SetCopyName(unsigned int copyId, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  copyNames_[copyId] = name;
}

void InMemoryStorageBackend::SetClientDirty(unsigned int appId, int dirty) {
  std::lock_guard<std::mutex> lock(mutex_);
  clientDirty_[appId] = dirty;
}

void InMemoryStorageBackend::SetCopyClean(unsigned int copyId, bool clean) {
  std::lock_guard<std::mutex> lock(mutex_);
  copyClean_[copyId] = clean;
}

void InMemoryStorageBackend::SetRecopied(unsigned int copyId, std::vector<int> ids) {
  std::lock_guard<std::mutex> lock(mutex_);
  recopied_[copyId] = std::move(ids);
}

void InMemoryStorageBackend::SetHubcellId(unsigned long long id) {
  std::lock_guard<std::mutex> lock(mutex_);
  hubcellId_ = id;
}

int InMemoryStorageBackend::ClientDirty(unsigned int appId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Find(clientDirty_, appId, -1);
}

bool InMemoryStorageBackend::CopyClean(unsigned int copyId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Find(copyClean_, copyId, false);
}

bool InMemoryStorageBackend::LastArchFileId(unsigned int cldbId, unsigned int& leastAFileId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = lastArchFileIds_.find(cldbId);
  if (it == lastArchFileIds_.end()) return false;
  leastAFileId = it->second;
  return true;
}

void InMemoryStorageBackend::FailCall(Call call, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_[call] = status;
}

std::vector<InMemoryStorageBackend::Request> InMemoryStorageBackend::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t InMemoryStorageBackend::CountRequests(Call call) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(std::count_if(requests_.begin(), requests_.end(),
                                           [call](const Request& r) { return r.call == call; }));
}

void InMemoryStorageBackend::ClearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

}  // namespace cldb
