// ToolRoot: the CLDB root folder a command works in, and the local storage
// side kept there.
//
// The root holds the CLDB folders, the storage side's database
// "storage.sqlite" and the log "logs/cldb.log". Which folder is the root:
// the --root value, else $CLDB_ROOT, else the configured default ([CLDB]
// RootFolder, else ~/.local/share/cldb). A value that is a key of
// [CLDBRootFolders] names that key's folder; any other value is a folder,
// relative ones taken from the working directory.
//
// Only a backup makes a root: every other command refuses a root (and a
// storage database) that is not there, so a mistyped --root changes
// nothing. What the tool makes there gets ZelPlatformInfo's modes (0700 and
// 0600 unless configured).
//
// Opening a root sends every log line of the library that goes to the
// default destination to the root's log. Opening its storage side installs
// the storage database as the process's storage side, which is what the
// library's archive-manager and subclient calls then reach. Opening a
// database of the current schema waits for no other process, so a command
// may open it before it takes a CLDB's lock.
#pragma once

#include <memory>
#include <string>

#include "Outcome.h"
#include "storage/SqliteStorageBackend.h"

// How a command uses its root folder.
enum class RootAccess {
  kCreate,  // the root, its log folder and its storage database are made when missing
  kChange,  // they must exist, except the log folder, which is made when missing in a
            // root with a storage database
  kLook,    // they must exist, and nothing is made there; the library logs into
            // logs/cldb.log only when the folder "logs" is there
};

class ToolRoot {
 public:
  // The root folder that `rootOption` (the --root value, "" when not given)
  // names; kExitBadInput when none can be named.
  static Outcome Resolve(const std::string& rootOption, std::string& folder);
  // A missing root fails with kExitBadInput unless `access` is kCreate; one
  // that cannot be made fails the same way.
  static Outcome Open(const std::string& rootOption, RootAccess access,
                      std::unique_ptr<ToolRoot>& root);
  ~ToolRoot();
  // Opens the storage database and installs it. A missing one fails with
  // kExitBadInput unless the root was opened with kCreate; one that is no
  // storage database, is damaged or cannot be opened with kExitFailure.
  Outcome OpenStorage();
  // Open, then OpenStorage.
  static Outcome OpenWithStorage(const std::string& rootOption, RootAccess access,
                                 std::unique_ptr<ToolRoot>& root);

  const std::string& Folder() const { return folder_; }
  std::string CldbFolder(const std::string& folderName) const { return folder_ + "/" + folderName; }
  const std::string& LogPath() const { return logPath_; }
  // "see <log path>", for a message about a failure the library logged.
  std::string LogHint() const;
  cldb::SqliteStorageBackend& Storage() { return *storage_; }

  // Where a command that names a CLDB folder directly logs: the log of the
  // root that holds it (one with a storage database), else the default
  // destination.
  static void SendLogNextTo(const std::string& cldbFolder, RootAccess access);

 private:
  ToolRoot(std::string folder, RootAccess access) : folder_(std::move(folder)), access_(access) {}

  std::string folder_;
  RootAccess access_;
  std::string logPath_;
  std::shared_ptr<cldb::SqliteStorageBackend> storage_;
};
