// ToolRoot: the CLDB root folder a command works in, and the local storage
// side kept there.
//
// The root holds the CLDB folders, the storage side's database
// "storage.sqlite" and the log "logs/cldb.log". Opening a root sends every
// log line of the library to the root's log, or to standard error when the
// user asked for it (-v). Opening its storage side installs the storage
// database as the process's storage side, which is what the library's
// archive-manager and subclient calls then reach. Opening a database of the
// current schema waits for no other process, so a command may open it
// before it takes a CLDB's lock.
#pragma once

#include <memory>
#include <string>

#include "Outcome.h"
#include "storage/SqliteStorageBackend.h"

class ToolRoot {
 public:
  // `rootOption` is the --root value: "" for the configured default, else
  // a folder (made absolute). The folder is created (private) when missing;
  // one that cannot be created fails with kExitBadInput.
  static Outcome Open(const std::string& rootOption, bool logToStderr,
                      std::unique_ptr<ToolRoot>& root);
  ~ToolRoot();
  // Opens the storage database and installs it; kExitFailure when the file
  // is no storage database, is damaged or cannot be opened.
  Outcome OpenStorage();
  // Open, then OpenStorage.
  static Outcome OpenWithStorage(const std::string& rootOption, bool logToStderr,
                                 std::unique_ptr<ToolRoot>& root);

  const std::string& Folder() const { return folder_; }
  std::string CldbFolder(const std::string& folderName) const { return folder_ + "/" + folderName; }
  const std::string& LogPath() const { return logPath_; }
  // "see <log path>", for a message about a failure the library logged.
  std::string LogHint() const;
  SqliteStorageBackend& Storage() { return *storage_; }

  // Where a command that names a CLDB folder directly logs: the log of the
  // root that holds it, or standard error.
  static void SendLogNextTo(const std::string& cldbFolder, bool logToStderr);

 private:
  explicit ToolRoot(std::string folder) : folder_(std::move(folder)) {}

  std::string folder_;
  std::string logPath_;
  std::shared_ptr<SqliteStorageBackend> storage_;
};
