// Which CLDB of a root folder a command means, and the machine-wide lock
// that keeps two processes of the tool off one CLDB at once.
#pragma once

#include <cstdint>
#include <string>

#include "platform/MDLock.h"

struct CldbIdentity {
  uint32_t app = 1;    // client application (subclient) id
  uint32_t copy = 1;   // storage copy id
  uint32_t store = 1;  // id of the deduplication store the CLDB mirrors
  bool auxCopy = false;

  // An auxiliary-copy CLDB is named by its copy, a client CLDB by its client.
  uint32_t CldbId() const { return auxCopy ? copy : app; }
  // The CLDB's folder name inside the root folder, as the library builds it.
  std::string FolderName() const;
  // "client 1 copy 2" or "auxiliary copy 2", for messages.
  std::string Describe() const;
};

// The CLDB id encoded in a CLDB folder's name; false for another name.
bool CldbIdFromFolderName(const std::string& folder, uint32_t& cldbId);

// Held by a backup, a prune, a dump or a compaction for their whole run.
// The lock is named from the CLDB folder's absolute path with symbolic links
// resolved, so a command that names the folder directly and one that names
// it through the root and ids meet the same lock. The kernel drops it when
// the holder dies, so a killed backup never leaves it taken.
class FolderLock {
 public:
  explicit FolderLock(const std::string& cldbFolder);
  // One attempt, no wait. False when another process holds the lock or the
  // lock cannot be made (Error() then says why).
  bool TryLock();
  std::string Error() const { return lock_.Error(); }

 private:
  MDLock lock_;
};
