#include "platform/engine/Maintenance.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/ZelPlatformInfo.h"

namespace cldb {

int TableMaintenance::MakeCompact() {
  static const char kName[] = "TCtreeTable::MakeCompact";
  const std::string& dataFile = log_.dataFile();
  Store store(log_, schema_);
  // Read-only: the file and its seal stay as they are until the rename.
  int rc = store.OpenExisting(seal_, Purpose::kMaintain, true, huge_, kName);
  if (rc) return rc;
  struct stat before;
  if (stat(dataFile.c_str(), &before) != 0) before.st_size = 0;
  const std::string temp = dataFile + ".compact";
  if (unlink(temp.c_str()) != 0 && errno != ENOENT) return log_.Report(kName, log_.Io(errno));
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                        ZelPlatformInfo::NewFileMode());
  if (fd < 0) return log_.Report(kName, log_.Io(errno));
  rc = log_.Report(kName, log_.Lmdb(mdb_env_copyfd2(store.env(), fd, MDB_CP_COMPACT)));
  if (!rc && fsync(fd) != 0) rc = log_.Report(kName, log_.Io(errno));
  struct stat after;
  if (!rc && fstat(fd, &after) != 0) rc = log_.Report(kName, log_.Io(errno));
  ::close(fd);
  if (!rc && rename(temp.c_str(), dataFile.c_str()) != 0) rc = log_.Report(kName, log_.Io(errno));
  if (rc) {
    unlink(temp.c_str());
    return rc;
  }
  // The old seal does not match the new file; until this one is in place
  // the table is refused. The folder sync also makes the rename durable.
  if ((rc = seal_.Write(FileId::Of(after), kName))) return rc;
  log_.owner().debug(1, "%s: %s compacted from %lld to %lld bytes", kName, dataFile.c_str(),
                     static_cast<long long>(before.st_size), static_cast<long long>(after.st_size));
  return 0;
}

// Calls fn(id bytes, record image) for every record, in id order.
template <typename Fn>
int TableMaintenance::ForEachRecord(MDB_cursor* records, Fn fn) {
  MDB_val k, d;
  int rc = mdb_cursor_get(records, &k, &d, MDB_FIRST);
  for (; rc == 0; rc = mdb_cursor_get(records, &k, &d, MDB_NEXT)) {
    if (k.mv_size != kIdLength || d.mv_size != schema_.recordLength())
      return log_.Corrupt("TCtreeTable", "record of bad size");
    if (int failed = fn(static_cast<const unsigned char*>(k.mv_data), d.mv_data)) return failed;
  }
  return rc == MDB_NOTFOUND ? 0 : log_.Lmdb(rc);
}

// Whether index `i` holds exactly one entry per record: as many entries as
// records, and each record's entry present (ids are unique).
int TableMaintenance::IndexAgrees(MDB_txn* txn, const Store& store, MDB_cursor* records, int i,
                                  MDB_dbi dbi, bool* agrees) {
  MDB_stat rs, is;
  int rc = mdb_stat(txn, store.records(), &rs);
  if (!rc) rc = mdb_stat(txn, dbi, &is);
  if (rc) return log_.Lmdb(rc);
  *agrees = rs.ms_entries == is.ms_entries;
  if (!*agrees) return 0;
  MDB_cursor* c;
  if ((rc = mdb_cursor_open(txn, dbi, &c))) return log_.Lmdb(rc);
  unsigned char key[kMaxKeyLength];
  rc = ForEachRecord(records, [&](const unsigned char* id, const void* image) {
    schema_.BuildKey(i, image, key);
    MDB_val k = Val(key, schema_.keyLength(i)), d = Val(id, kIdLength);
    const int found = mdb_cursor_get(c, &k, &d, MDB_GET_BOTH);
    if (found == MDB_NOTFOUND) *agrees = false;
    return found == MDB_NOTFOUND ? -1 : log_.Lmdb(found);
  });
  mdb_cursor_close(c);
  return rc == -1 ? 0 : rc;
}

int TableMaintenance::FillIndex(MDB_txn* txn, MDB_cursor* records, int i, MDB_dbi dbi) {
  int rc = mdb_drop(txn, dbi, 0);
  MDB_cursor* c;
  if (rc || (rc = mdb_cursor_open(txn, dbi, &c))) return log_.Lmdb(rc);
  unsigned char key[kMaxKeyLength];
  rc = ForEachRecord(records, [&](const unsigned char* id, const void* image) {
    schema_.BuildKey(i, image, key);
    MDB_val k = Val(key, schema_.keyLength(i)), d = Val(id, kIdLength);
    return log_.Lmdb(mdb_cursor_put(c, &k, &d, MDB_APPENDDUP));
  });
  mdb_cursor_close(c);
  return rc;
}

// Removes the seal before the first change a maintenance txn makes.
int TableMaintenance::Unseal(bool* unsealed) {
  if (*unsealed) return 0;
  *unsealed = true;
  return seal_.Remove();
}

int TableMaintenance::Reindex(MDB_txn* txn, Store& store, bool* unsealed, const char* name) {
  MDB_cursor* records;
  int rc = log_.Lmdb(mdb_cursor_open(txn, store.records(), &records));
  if (rc) return rc;
  for (int i = 0; rc == 0 && i < schema_.indexCount(); ++i) {
    const std::string db = IndexDbName(i);
    MDB_dbi dbi;
    bool agrees = false;
    rc = store.OpenDb(txn, db.c_str(), kIndexFlags, &dbi, name);
    if (rc == TCT_NOT_FOUND) {
      rc = 0;  // made below
    } else if (rc == 0) {
      rc = IndexAgrees(txn, store, records, i, dbi, &agrees);
    }
    if (rc || agrees) continue;
    if (!(rc = Unseal(unsealed)))
      rc = store.OpenDb(txn, db.c_str(), kIndexFlags | MDB_CREATE, &dbi, name);
    if (!rc) rc = FillIndex(txn, records, i, dbi);
    if (!rc)
      log_.owner().debug(1, "%s: %s: index %d (%s) rebuilt from the records", name,
                         log_.dataFile().c_str(), i, schema_.index(i).name.c_str());
  }
  mdb_cursor_close(records);
  return rc;
}

int TableMaintenance::ReBuildIndex() {
  static const char kName[] = "TCtreeTable::ReBuildIndex";
  Store store(log_, schema_);
  int rc = store.OpenExisting(seal_, Purpose::kMaintain, false, huge_, kName);
  if (rc) return rc;
  MDB_txn* txn;
  if ((rc = log_.Lmdb(mdb_txn_begin(store.env(), nullptr, 0, &txn)))) return log_.Report(kName, rc);
  bool unsealed = false;
  rc = Reindex(txn, store, &unsealed, kName);
  // Bring the id counter past every record as well.
  if (!rc && store.nextIdMoved() && !(rc = Unseal(&unsealed))) rc = store.PutNextId(txn);
  if (rc || !unsealed) {
    mdb_txn_abort(txn);
  } else {
    rc = log_.Lmdb(mdb_txn_commit(txn));
  }
  rc = log_.Report(kName, rc);
  // Committed or not, LMDB leaves a consistent file once it is synced.
  const int sealed = unsealed ? store.CloseAndSeal(seal_, kName) : 0;
  return rc ? rc : sealed;
}

}  // namespace cldb
