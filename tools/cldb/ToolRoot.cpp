#include "ToolRoot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "cldb/StorageBackend.h"
#include "platform/EvDebug.h"
#include "platform/ZelPlatformInfo.h"
#include "storage/RootFolder.h"

namespace {

const char kLogFolder[] = "logs";
const char kLogFile[] = "cldb.log";
const char kRootVariable[] = "CLDB_ROOT";

bool IsFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// What names the root: the option, else the environment; "" for neither.
std::string NamedRoot(const std::string& rootOption) {
  if (!rootOption.empty()) return rootOption;
  const char* value = std::getenv(kRootVariable);
  return value != nullptr ? value : "";
}

// The key under which the configuration knows the root `named`: the name
// itself when [CLDBRootFolders] has it, else the folder it names, absolute.
std::string RootKey(const std::string& named) {
  std::string mapped;
  if (named.empty() ||
      (ZelPlatformInfo::getString("CLDBRootFolders", named.c_str(), mapped) && !mapped.empty()))
    return named;
  std::string key = std::filesystem::absolute(named).lexically_normal().string();
  if (key.size() > 1 && key.back() == '/') key.pop_back();
  return key;
}

bool HoldsStorage(const std::string& folder) {
  struct stat info {};
  return lstat((folder + "/" + cldb::SqliteStorageBackend::kFileName).c_str(), &info) == 0;
}

// Points the library's default log destination at `folder`/logs/cldb.log;
// the path, or "" when the log stays where it was. The log folder is made
// only in a root that a backup made (or makes now).
std::string LogInto(const std::string& folder, RootAccess access) {
  const std::string logFolder = folder + "/" + kLogFolder;
  const bool make =
      access == RootAccess::kCreate || (access == RootAccess::kChange && HoldsStorage(folder));
  if (make && !cldb::MakePrivateFolders(logFolder).empty()) return "";
  if (!IsFolder(logFolder)) return "";
  const std::string path = logFolder + "/" + kLogFile;
  return EvDebug::SetDefaultLogFile(path) ? path : "";
}

// Makes the storage database's file, empty, with the configured mode, for
// SQLite to make the database in (it would make it 0644); an existing file
// is left alone.
void PrepareStorageFile(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      ZelPlatformInfo::NewFileMode());
  if (fd >= 0) close(fd);
}

}  // namespace

ToolRoot::~ToolRoot() {
  if (storage_) cldb::StorageBackend::Install(nullptr);
}

Outcome ToolRoot::Resolve(const std::string& rootOption, std::string& folder) {
  ZelPlatformInfo platform;
  platform.setFocus(ZelPI_Focus::getFocus());
  if (platform.GetCLDBRootFolder(RootKey(NamedRoot(rootOption)), folder) != 0)
    return Outcome::Fail(kExitBadInput, "no CLDB root folder is configured; give --root");
  return Outcome::Ok();
}

Outcome ToolRoot::Open(const std::string& rootOption, RootAccess access,
                       std::unique_ptr<ToolRoot>& root) {
  std::string folder;
  Outcome outcome = Resolve(rootOption, folder);
  if (!outcome.ok()) return outcome;
  if (access == RootAccess::kCreate) {
    const std::string problem = cldb::MakePrivateFolders(folder);
    if (!problem.empty())
      return Outcome::Fail(kExitBadInput, "cannot create root folder '" + folder + "': " + problem);
  } else if (!IsFolder(folder)) {
    return Outcome::Fail(kExitBadInput,
                         "no CLDB root folder '" + folder + "' (a backup makes one)");
  }
  root.reset(new ToolRoot(folder, access));
  root->logPath_ = LogInto(folder, access);
  return Outcome::Ok();
}

Outcome ToolRoot::OpenWithStorage(const std::string& rootOption, RootAccess access,
                                  std::unique_ptr<ToolRoot>& root) {
  Outcome outcome = Open(rootOption, access, root);
  return outcome.ok() ? root->OpenStorage() : outcome;
}

Outcome ToolRoot::OpenStorage() {
  if (storage_) return Outcome::Ok();
  const std::string path = folder_ + "/" + cldb::SqliteStorageBackend::kFileName;
  if (access_ == RootAccess::kCreate) {
    PrepareStorageFile(path);
  } else {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 && errno == ENOENT)
      return Outcome::Fail(kExitBadInput,
                           "no storage database in '" + folder_ + "' (a backup makes one)");
  }
  std::string error;
  std::shared_ptr<cldb::SqliteStorageBackend> storage =
      cldb::SqliteStorageBackend::Open(folder_, error);
  if (!storage)
    return Outcome::Fail(kExitFailure,
                         "cannot open the storage database in '" + folder_ + "': " + error);
  storage_ = storage;
  cldb::StorageBackend::Install(storage_);
  return Outcome::Ok();
}

std::string ToolRoot::LogHint() const {
  return logPath_.empty() ? "see the library's log (standard error unless configured)"
                          : "see " + logPath_;
}

void ToolRoot::SendLogNextTo(const std::string& cldbFolder, RootAccess access) {
  std::filesystem::path folder = std::filesystem::absolute(cldbFolder).lexically_normal();
  if (!folder.has_filename()) folder = folder.parent_path();
  // Only a root folder gets a log folder made in it; elsewhere the lines go
  // to the default destination rather than into a folder the tool does not
  // own.
  const std::string root = folder.parent_path();
  if (HoldsStorage(root)) LogInto(root, access);
}
