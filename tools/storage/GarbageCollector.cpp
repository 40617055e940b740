#include "storage/GarbageCollector.h"

#include <unistd.h>

#include <algorithm>
#include <set>

#include "platform/FileIo.h"
#include "storage/PackFormat.h"
#include "storage/RootFolder.h"

namespace cldb {
namespace {

const char kRetiredAFiles[] =
    "SELECT afile_id, copy_id, pack_gen FROM afiles WHERE live = 0 ORDER BY afile_id";
const char kPackGeneration[] = "SELECT pack_gen FROM afiles WHERE afile_id = ?1";
// The pack an archive file names: none once it is lost.
const char kNamedPack[] = "SELECT pack_gen FROM afiles WHERE afile_id = ?1 AND lost = 0";
// The copies a retired archive file holds, each with whether it must stay:
// a live archive file on its copy references the block and none stores it.
const char kCopiesToKeep[] =
    "SELECT s.digest, s.size, s.offset, s.length,"
    " EXISTS (SELECT 1 FROM refs r JOIN afiles a ON a.afile_id = r.afile_id"
    "  WHERE r.digest = s.digest AND r.size = s.size AND a.live = 1 AND a.copy_id = ?2)"
    " AND NOT EXISTS (SELECT 1 FROM stored o JOIN afiles a ON a.afile_id = o.afile_id"
    "  WHERE o.digest = s.digest AND o.size = s.size AND a.live = 1 AND a.copy_id = ?2)"
    " FROM stored s WHERE s.afile_id = ?1 ORDER BY s.offset";
const char kMoveCopy[] =
    "UPDATE stored SET offset = ?4 WHERE afile_id = ?1 AND digest = ?2 AND size = ?3";
const char kDropCopy[] = "DELETE FROM stored WHERE afile_id = ?1 AND digest = ?2 AND size = ?3";
const char kSwitchPack[] =
    "UPDATE afiles SET pack_gen = ?2, pack_end = ?3, blocks = ?4, bytes = ?5 WHERE afile_id = ?1";
const char kDropAFile[] = "DELETE FROM afiles WHERE afile_id = ?1";
const char kDropAFileRefs[] = "DELETE FROM refs WHERE afile_id = ?1";
// Archive files of jobs that ended or were dropped: nothing appends to them
// any more.
const char kClosedPacks[] =
    "SELECT a.afile_id, a.pack_gen, a.pack_end FROM afiles a LEFT JOIN jobs j"
    " ON j.job_id = a.job_id WHERE j.job_id IS NULL OR j.end_time IS NOT NULL";

Blob BlobOf(const std::string& bytes) { return {bytes.data(), bytes.size()}; }

}  // namespace

int GarbageCollector::Run(Result& result, std::string& error) {
  result = Result();
  CldbFolderLock collecting(storage_.Packs().Path());
  if (!collecting.TryLock()) {
    error =
        collecting.Error().empty() ? "another garbage collection is running" : collecting.Error();
    return collecting.Error().empty() ? cldb::SqliteStorageBackend::kInUse : -1;
  }
  if (storage_.ReapDeadJobs(result.reaped) != 0) {
    error = storage_.LastError();
    return -1;
  }
  // Orphans first: a rewrite cut short left its new pack under the name the
  // next rewrite of that archive file makes.
  if (RemoveOrphans(result, error) != 0 || CollectRetired(result, error) != 0 ||
      CutTails(result, error) != 0)
    return -1;
  return storage_.Packs().Sync(error);
}

int GarbageCollector::CollectRetired(Result& result, std::string& error) {
  Database& db = storage_.Db();
  std::vector<Pack> retired;
  {
    auto lock = db.Lock();
    Query query(db.Statement(kRetiredAFiles));
    int rc;
    while ((rc = query.Step()) == SQLITE_ROW)
      retired.push_back({static_cast<uint32_t>(query.Int(0)), static_cast<uint32_t>(query.Int(1)),
                         static_cast<uint32_t>(query.Int(2))});
    if (rc != SQLITE_DONE) {
      error = (db.FailSqlite(), db.Error());
      return -1;
    }
  }
  for (const Pack& pack : retired) {
    std::vector<Copy> copies;
    bool present = false;
    if (ReadCopies(pack, copies, present) != 0) {
      error = storage_.LastError();
      return -1;
    }
    if (!present) continue;  // dropped meanwhile
    const bool keepAny =
        std::any_of(copies.begin(), copies.end(), [](const Copy& c) { return c.keep; });
    const bool dropAny =
        std::any_of(copies.begin(), copies.end(), [](const Copy& c) { return !c.keep; });
    const int rc = !keepAny  ? RemovePack(pack, result, error)
                   : dropAny ? RewritePack(pack, copies, result, error)
                             : 0;
    if (rc != 0) return rc;
  }
  return 0;
}

// Inside a read transaction, so that the generation and the copies agree.
int GarbageCollector::ReadCopies(const Pack& pack, std::vector<Copy>& copies, bool& present) {
  Database& db = storage_.Db();
  auto lock = db.Lock();
  return db.Transaction(false, [&] {
    int64_t generation = 0;
    if (db.ReadInt(kPackGeneration, generation, present, pack.afileId) != 0) return -1;
    if (!present || static_cast<uint32_t>(generation) != pack.generation) {
      present = false;
      return 0;
    }
    Query query(db.Statement(kCopiesToKeep), pack.afileId, pack.copyId);
    int rc;
    while ((rc = query.Step()) == SQLITE_ROW) {
      Copy copy;
      copy.digest = std::string(query.Bytes(0));
      copy.size = static_cast<uint32_t>(query.Int(1));
      copy.offset = static_cast<uint64_t>(query.Int(2));
      copy.length = static_cast<uint32_t>(query.Int(3));
      copy.keep = query.Int(4) != 0;
      copies.push_back(std::move(copy));
    }
    return rc == SQLITE_DONE ? 0 : db.FailSqlite();
  });
}

int GarbageCollector::RemovePack(const Pack& pack, Result& result, std::string& error) {
  const std::string name = PackFileName(pack.afileId, pack.generation);
  const uint64_t size = storage_.Packs().Size(name);
  Database& db = storage_.Db();
  bool removed = false;
  {
    auto lock = db.Lock();
    const int rc = db.Transaction(true, [&] {
      // Checked again where it counts: nothing may have become needed.
      Query query(db.Statement(kCopiesToKeep), pack.afileId, pack.copyId);
      int step;
      while ((step = query.Step()) == SQLITE_ROW) {
        if (query.Int(4) != 0) return 0;
      }
      if (step != SQLITE_DONE) return db.FailSqlite();
      int64_t generation = 0;
      bool present = false;
      if (db.ReadInt(kPackGeneration, generation, present, pack.afileId) != 0) return -1;
      if (!present || static_cast<uint32_t>(generation) != pack.generation) return 0;
      if (db.Run("DELETE FROM stored WHERE afile_id = ?1", pack.afileId) != 0 ||
          db.Run(kDropAFileRefs, pack.afileId) != 0 || db.Run(kDropAFile, pack.afileId) != 0)
        return -1;
      removed = true;
      return 0;
    });
    if (rc != 0) {
      error = db.Error();
      return -1;
    }
  }
  if (!removed) return 0;
  if (storage_.Packs().Remove(name, error) != 0) return -1;
  if (size != 0) ++result.packsRemoved;  // an archive file of references only has none
  result.bytesFreed += size;
  return 0;
}

int GarbageCollector::RewritePack(const Pack& pack, const std::vector<Copy>& copies, Result& result,
                                  std::string& error) {
  const std::string oldName = PackFileName(pack.afileId, pack.generation);
  const std::string newName = PackFileName(pack.afileId, pack.generation + 1);
  const uint64_t oldSize = storage_.Packs().Size(oldName);
  std::vector<uint64_t> offsets;
  uint64_t end = 0;
  if (WriteKept(pack, copies, offsets, end, error) != 0) {
    storage_.Packs().Remove(newName, error);
    return -1;
  }
  bool switched = false;
  if (SwitchOver(pack, copies, offsets, end, switched) != 0) {
    error = storage_.LastError();
    storage_.Packs().Remove(newName, error);
    return -1;
  }
  // What is not named is removed: the old pack once switched, else the new.
  if (storage_.Packs().Remove(switched ? oldName : newName, error) != 0) return -1;
  if (switched) {
    ++result.packsRewritten;
    result.bytesFreed += oldSize > end ? oldSize - end : 0;
  }
  return 0;
}

int GarbageCollector::WriteKept(const Pack& pack, const std::vector<Copy>& copies,
                                std::vector<uint64_t>& offsets, uint64_t& end, std::string& error) {
  bool missing = false;
  const int from = storage_.Packs().OpenForReading(pack.afileId, pack.generation, error, missing);
  if (from < 0) return -1;
  const int to = storage_.Packs().Create(pack.afileId, pack.generation + 1, error);
  if (to < 0) {
    close(from);
    return -1;
  }
  end = kPackHeaderSize;
  std::vector<unsigned char> record;
  int rc = 0;
  for (const Copy& copy : copies) {
    offsets.push_back(end);
    if (!copy.keep) continue;
    record.resize(copy.length);
    const ssize_t got =
        ReadFully(from, record.data(), copy.length, static_cast<off_t>(copy.offset));
    if (got != static_cast<ssize_t>(copy.length)) {
      // Damage is not garbage collection's to repair: the pack stays as it is.
      error = got < 0
                  ? ErrnoMessage("cannot read '" +
                                 storage_.Packs().PathOf(pack.afileId, pack.generation) + "'")
                  : "'" + storage_.Packs().PathOf(pack.afileId, pack.generation) + "' is cut short";
      rc = -1;
      break;
    }
    if (WriteFully(to, record.data(), copy.length, static_cast<off_t>(end)) != 0) {
      error = ErrnoMessage("cannot write '" +
                           storage_.Packs().PathOf(pack.afileId, pack.generation + 1) + "'");
      rc = -1;
      break;
    }
    end += copy.length;
  }
  if (rc == 0 && io::Fdatasync(to) != 0) {
    error = ErrnoMessage("cannot sync '" +
                         storage_.Packs().PathOf(pack.afileId, pack.generation + 1) + "'");
    rc = -1;
  }
  close(from);
  close(to);
  return rc;
}

// The copies dropped must still be droppable: a job may have come to
// reference one of them since they were read. Then nothing is switched.
int GarbageCollector::SwitchOver(const Pack& pack, const std::vector<Copy>& copies,
                                 const std::vector<uint64_t>& offsets, uint64_t end,
                                 bool& switched) {
  Database& db = storage_.Db();
  auto lock = db.Lock();
  return db.Transaction(true, [&] {
    std::vector<Copy> now;
    bool present = false;
    int64_t generation = 0;
    if (db.ReadInt(kPackGeneration, generation, present, pack.afileId) != 0) return -1;
    if (!present || static_cast<uint32_t>(generation) != pack.generation) return 0;
    std::set<std::pair<std::string, uint32_t>> needed;
    {
      Query query(db.Statement(kCopiesToKeep), pack.afileId, pack.copyId);
      int rc;
      while ((rc = query.Step()) == SQLITE_ROW)
        if (query.Int(4) != 0)
          needed.emplace(std::string(query.Bytes(0)), static_cast<uint32_t>(query.Int(1)));
      if (rc != SQLITE_DONE) return db.FailSqlite();
    }
    uint64_t blocks = 0, bytes = 0;
    for (size_t i = 0; i < copies.size(); ++i) {
      const Copy& copy = copies[i];
      if (!copy.keep && needed.count({copy.digest, copy.size}) != 0) return 0;
      const int rc =
          copy.keep ? db.Run(kMoveCopy, pack.afileId, BlobOf(copy.digest), copy.size, offsets[i])
                    : db.Run(kDropCopy, pack.afileId, BlobOf(copy.digest), copy.size);
      if (rc != 0) return -1;
      if (copy.keep) ++blocks, bytes += copy.size;
    }
    if (db.Run(kSwitchPack, pack.afileId, pack.generation + 1, end, blocks, bytes) != 0) return -1;
    switched = true;
    return 0;
  });
}

int GarbageCollector::CutTails(Result& result, std::string& error) {
  struct Closed {
    uint32_t afileId;
    uint32_t generation;
    uint64_t end;
  };
  std::vector<Closed> closed;
  Database& db = storage_.Db();
  {
    auto lock = db.Lock();
    Query query(db.Statement(kClosedPacks));
    int rc;
    while ((rc = query.Step()) == SQLITE_ROW)
      closed.push_back({static_cast<uint32_t>(query.Int(0)), static_cast<uint32_t>(query.Int(1)),
                        static_cast<uint64_t>(query.Int(2))});
    if (rc != SQLITE_DONE) {
      error = (db.FailSqlite(), db.Error());
      return -1;
    }
  }
  for (const Closed& pack : closed) {
    const std::string name = PackFileName(pack.afileId, pack.generation);
    const uint64_t size = storage_.Packs().Size(name);
    if (size <= pack.end) continue;
    // A pack nothing was recorded in goes altogether.
    const int rc = pack.end == 0
                       ? storage_.Packs().Remove(name, error)
                       : storage_.Packs().Cut(pack.afileId, pack.generation, pack.end, error);
    if (rc != 0) return -1;
    ++result.tailsCut;
    result.bytesFreed += size - pack.end;
  }
  return 0;
}

// The folder is listed before the database is read: a pack made after the
// listing is not in it, and one in it was made after its archive file was
// recorded.
int GarbageCollector::RemoveOrphans(Result& result, std::string& error) {
  std::vector<std::string> names;
  if (storage_.Packs().List(names, error) != 0) return -1;
  Database& db = storage_.Db();
  for (const std::string& name : names) {
    uint32_t afileId = 0, generation = 0;
    if (!ParsePackFileName(name, afileId, generation)) continue;
    int64_t current = 0;
    bool present = false;
    {
      auto lock = db.Lock();
      if (db.ReadInt(kNamedPack, current, present, afileId) != 0) {
        error = db.Error();
        return -1;
      }
    }
    if (present && static_cast<uint32_t>(current) == generation) continue;
    const uint64_t size = storage_.Packs().Size(name);
    if (storage_.Packs().Remove(name, error) != 0) return -1;
    ++result.orphansRemoved;
    result.bytesFreed += size;
  }
  return 0;
}

}  // namespace cldb
