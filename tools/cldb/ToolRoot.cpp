#include "ToolRoot.h"

#include <filesystem>

#include "platform/EvDebug.h"
#include "platform/StorageServices.h"
#include "platform/ZelPlatformInfo.h"
#include "storage/RootFolder.h"

namespace {

const char kLogFolder[] = "logs";
const char kLogFile[] = "cldb.log";

// Points the library's default log destination at `folder`/logs/cldb.log;
// the path, or "" when standard error stays the destination.
std::string LogInto(const std::string& folder) {
  const std::string logFolder = folder + "/" + kLogFolder;
  if (!cldb::MakePrivateFolders(logFolder).empty()) return "";
  const std::string path = logFolder + "/" + kLogFile;
  EvDebug::SetDefaultLogFile(path);
  return path;
}

}  // namespace

ToolRoot::~ToolRoot() {
  if (storage_) StorageBackend::Install(nullptr);
}

Outcome ToolRoot::Open(const std::string& rootOption, bool logToStderr,
                       std::unique_ptr<ToolRoot>& root) {
  std::string folder;
  std::string key = rootOption;
  if (!key.empty()) key = std::filesystem::absolute(key).lexically_normal().string();
  if (key.size() > 1 && key.back() == '/') key.pop_back();
  ZelPlatformInfo platform;
  platform.setFocus(ZelPI_Focus::getFocus());
  if (platform.GetCLDBRootFolder(key, folder) != 0)
    return Outcome::Fail(kExitBadInput, "no CLDB root folder is configured; give --root");

  const std::string problem = cldb::MakePrivateFolders(folder);
  if (!problem.empty())
    return Outcome::Fail(kExitBadInput, "cannot create root folder '" + folder + "': " + problem);
  root.reset(new ToolRoot(folder));
  if (!logToStderr) root->logPath_ = LogInto(folder);
  return Outcome::Ok();
}

Outcome ToolRoot::OpenWithStorage(const std::string& rootOption, bool logToStderr,
                                  std::unique_ptr<ToolRoot>& root) {
  Outcome outcome = Open(rootOption, logToStderr, root);
  return outcome.ok() ? root->OpenStorage() : outcome;
}

Outcome ToolRoot::OpenStorage() {
  if (storage_) return Outcome::Ok();
  std::string error;
  std::shared_ptr<SqliteStorageBackend> storage = SqliteStorageBackend::Open(folder_, error);
  if (!storage)
    return Outcome::Fail(kExitFailure,
                         "cannot open the storage database in '" + folder_ + "': " + error);
  storage_ = storage;
  StorageBackend::Install(storage_);
  return Outcome::Ok();
}

std::string ToolRoot::LogHint() const {
  return logPath_.empty() ? "see the log on standard error" : "see " + logPath_;
}

void ToolRoot::SendLogNextTo(const std::string& cldbFolder, bool logToStderr) {
  if (logToStderr) return;
  std::filesystem::path folder = std::filesystem::absolute(cldbFolder).lexically_normal();
  if (!folder.has_filename()) folder = folder.parent_path();
  // Only a root folder gets a log folder made in it; elsewhere the lines go
  // to standard error rather than into a folder the tool does not own.
  const std::filesystem::path root = folder.parent_path();
  std::error_code ec;
  if (std::filesystem::exists(root / SqliteStorageBackend::kFileName, ec)) LogInto(root.string());
}
