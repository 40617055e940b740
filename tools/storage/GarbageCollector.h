// GarbageCollector: frees the space of what no live archive file needs.
//
// A live archive file needs the blocks it stores and those it references.
// A retired one (its job dropped, failed or dead) keeps in its pack only the
// blocks some live archive file on its copy references and no live
// archive file stores; the rest goes. A pack that keeps nothing is removed
// with its archive file; one that keeps less than it holds is rewritten.
// Besides, what a pack holds past what the database records of it (the
// unrecorded tail a failed or killed job left) is cut off, and pack files
// the database does not name (a rewrite or a removal cut short) are
// removed.
//
// Crash-safe at every step: a rewrite writes the new pack under the next
// generation and syncs it, then switches the database over in one
// transaction that checks again that nothing it drops became needed, then
// removes the old pack. A crash leaves the old pack or the new one named,
// never neither; the other is an orphan the next collection removes.
//
// It runs beside backups, restores and drops: only one collection runs at
// a time (the lock of "<root>/packs"), a job's references are recorded in
// the same transactions as its hits are resolved, and a reader whose pack
// moved locates it again (BlockReader.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/SqliteStorageBackend.h"

namespace cldb {

class GarbageCollector {
 public:
  struct Result {
    uint64_t bytesFreed = 0;
    uint64_t packsRemoved = 0;  // with their archive files
    uint64_t packsRewritten = 0;
    uint64_t tailsCut = 0;
    uint64_t orphansRemoved = 0;
    std::vector<uint32_t> reaped;  // jobs found dead
  };

  explicit GarbageCollector(cldb::SqliteStorageBackend& storage) : storage_(storage) {}
  // 0; cldb::SqliteStorageBackend::kInUse when another collection runs; -1 with
  // `error` set on a failure (what was done before it stays done).
  int Run(Result& result, std::string& error);

 private:
  struct Copy {
    std::string digest;
    uint32_t size = 0;
    uint64_t offset = 0;
    uint32_t length = 0;
    bool keep = false;
  };
  struct Pack {
    uint32_t afileId = 0;
    uint32_t copyId = 0;
    uint32_t generation = 0;
  };

  int CollectRetired(Result& result, std::string& error);
  int ReadCopies(const Pack& pack, std::vector<Copy>& copies, bool& present);
  int RemovePack(const Pack& pack, Result& result, std::string& error);
  int RewritePack(const Pack& pack, const std::vector<Copy>& copies, Result& result,
                  std::string& error);
  int WriteKept(const Pack& pack, const std::vector<Copy>& copies, std::vector<uint64_t>& offsets,
                uint64_t& end, std::string& error);
  int SwitchOver(const Pack& pack, const std::vector<Copy>& copies,
                 const std::vector<uint64_t>& offsets, uint64_t end, bool& switched);
  int CutTails(Result& result, std::string& error);
  int RemoveOrphans(Result& result, std::string& error);

  cldb::SqliteStorageBackend& storage_;
};

}  // namespace cldb
