// Which CLDB of a root folder a command means, and the machine-wide lock
// that keeps two processes of the tool off one CLDB at once.
#pragma once

#include <cstdint>
#include <string>

#include "storage/RootFolder.h"

struct CldbIdentity {
  uint32_t app = 1;    // client application (subclient) id
  uint32_t copy = 1;   // storage copy id
  uint32_t store = 0;  // deduplication store the CLDB mirrors; 0 until resolved (ToolRoot)
  bool auxCopy = false;

  // An auxiliary-copy CLDB is named by its copy, a client CLDB by its client.
  uint32_t CldbId() const { return auxCopy ? copy : app; }
  // The CLDB's folder name inside the root folder, as the library builds it.
  std::string FolderName() const;
  // "client 1 copy 2" or "auxiliary copy 2", for messages.
  std::string Describe() const;
};

// Held by a backup, a prune, a dump or a compaction for their whole run, and
// by the storage side while it drops archive files the CLDB may reference.
using FolderLock = cldb::CldbFolderLock;
