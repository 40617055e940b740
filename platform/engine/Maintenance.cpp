#include "platform/engine/Maintenance.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/FileIo.h"
#include "platform/ZelPlatformInfo.h"
#include "platform/engine/FilterStore.h"

namespace cldb {

// Opens the table for maintenance; a file of the first format is upgraded
// first (which needs the file opened for changes).
int TableMaintenance::OpenPresent(Store& store, bool readOnly, const char* name) {
  int rc = store.OpenExisting(seal_, Purpose::kMaintain, readOnly, huge_, name);
  if (rc || store.format() == kFileFormat) return rc;
  if (readOnly) {
    store.Close();
    if ((rc = store.OpenExisting(seal_, Purpose::kMaintain, false, huge_, name))) return rc;
  }
  if ((rc = Upgrade(store, name))) return rc;
  return store.OpenExisting(seal_, Purpose::kMaintain, readOnly, huge_, name);
}

int TableMaintenance::MakeCompact() {
  static const char kName[] = "TCtreeTable::MakeCompact";
  const std::string& dataFile = log_.dataFile();
  Store store(log_, schema_);
  // Read-only: the file and its seal stay as they are until the rename.
  int rc = OpenPresent(store, true, kName);
  if (rc) return rc;
  struct stat before;
  if (fstat(store.fd(), &before) != 0) before.st_size = 0;
  const std::string temp = dataFile + ".compact";
  // A temp left by a crash of ours goes first; never followed if a link.
  if (io::Unlink(temp.c_str()) != 0 && errno != ENOENT) return log_.Report(kName, log_.Io(errno));
  const int fd = io::Open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW,
                          ZelPlatformInfo::NewFileMode());
  if (fd < 0) return log_.Report(kName, log_.Io(errno));
  // As LMDB's own copy to a path does: written past the page cache, so that
  // the sync of the seal finds nothing left to write (where the file system
  // refuses O_DIRECT, the copy is buffered).
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_DIRECT);
  rc = log_.Report(kName, log_.Lmdb(mdb_env_copyfd2(store.env(), fd, MDB_CP_COMPACT)));
  fcntl(fd, F_SETFL, flags);  // the seal reads the head pages through it
  if (!rc && io::Rename(temp.c_str(), dataFile.c_str()) != 0)
    rc = log_.Report(kName, log_.Io(errno));
  store.Close();
  if (rc) {
    io::Unlink(temp.c_str());
    ::close(fd);
    return rc;
  }
  // The old seal names the old file: until this one is in place the table
  // is refused. The seal's folder sync also makes the rename durable.
  struct stat after;
  rc = seal_.Write(fd, kName);
  if (fstat(fd, &after) != 0) after.st_size = 0;
  ::close(fd);
  if (rc) return rc;
  log_.owner().debug(1, "%s: %s compacted from %lld to %lld bytes", kName, dataFile.c_str(),
                     static_cast<long long>(before.st_size), static_cast<long long>(after.st_size));
  return 0;
}

// The indexes to rebuild (missing, or not holding one entry per record)
// and whether the id counter lags behind the records.
int TableMaintenance::Plan(Store& store, std::vector<int>* rebuild, bool* counter,
                           const char* name) {
  MDB_txn* txn;
  int rc = log_.Lmdb(mdb_txn_begin(store.env(), nullptr, MDB_RDONLY, &txn));
  if (rc) return log_.Report(name, rc);
  MDB_stat records, st;
  rc = log_.Lmdb(mdb_stat(txn, store.records(), &records));
  for (int i = 0; rc == 0 && i < schema_.indexCount(); ++i) {
    MDB_dbi dbi;
    const int opened = store.OpenDb(txn, IndexDbName(i).c_str(), kIndexFlags, &dbi, name);
    if (opened == TCT_NOT_FOUND || (opened == 0 && !(rc = log_.Lmdb(mdb_stat(txn, dbi, &st))) &&
                                    st.ms_entries != records.ms_entries))
      rebuild->push_back(i);
    else if (opened)
      rc = opened;
  }
  mdb_txn_abort(txn);
  *counter = store.nextIdMoved();
  return rc;
}

// Index `index` anew from the records: their (key, id) pairs sorted, then
// appended, so the index is as compact as a loaded one. The pairs are held
// in memory (key length + 8 bytes per record).
int TableMaintenance::Rebuild(MDB_txn* txn, Store& store, int index, const char* name) {
  const size_t keyLength = schema_.keyLength(index), entry = keyLength + kIdLength;
  std::vector<unsigned char> pairs;
  MDB_cursor* c;
  int rc = mdb_cursor_open(txn, store.records(), &c);
  MDB_val k, d;
  for (rc = rc ? rc : mdb_cursor_get(c, &k, &d, MDB_FIRST); rc == 0;
       rc = mdb_cursor_get(c, &k, &d, MDB_NEXT)) {
    if (k.mv_size != kIdLength || d.mv_size != schema_.recordLength() + store.sumLength() ||
        (store.sumLength() && !SumHolds(static_cast<const unsigned char*>(k.mv_data), d.mv_data,
                                        schema_.recordLength()))) {
      mdb_cursor_close(c);
      return log_.Corrupt(name, "a record fails its checks");
    }
    pairs.resize(pairs.size() + entry);
    schema_.BuildKey(index, d.mv_data, &pairs[pairs.size() - entry]);
    memcpy(&pairs[pairs.size() - kIdLength], k.mv_data, kIdLength);
  }
  mdb_cursor_close(c);
  if (rc != MDB_NOTFOUND) return log_.Lmdb(rc);
  // Sort entry indexes by their bytes: key, then id (big-endian).
  std::vector<uint32_t> order(pairs.size() / entry);
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return memcmp(&pairs[a * entry], &pairs[b * entry], entry) < 0;
  });
  MDB_dbi dbi;
  if ((rc = store.OpenDb(txn, IndexDbName(index).c_str(), kIndexFlags | MDB_CREATE, &dbi, name)))
    return rc;
  if ((rc = mdb_drop(txn, dbi, 0)) || (rc = mdb_cursor_open(txn, dbi, &c))) return log_.Lmdb(rc);
  const unsigned char* last = nullptr;
  for (uint32_t i : order) {
    const unsigned char* at = &pairs[i * entry];
    k = Val(at, keyLength);
    d = Val(at + keyLength, kIdLength);
    const bool sameKey = last && memcmp(last, at, keyLength) == 0;
    if ((rc = mdb_cursor_put(c, &k, &d, sameKey ? MDB_APPENDDUP : MDB_APPEND))) break;
    last = at;
  }
  mdb_cursor_close(c);
  if (!rc && schema_.index(index).filtered) rc = DropFilter(txn, store.meta(), index);
  if (rc) return log_.Lmdb(rc);
  log_.owner().debug(1, "%s: %s: index %d (%s) rebuilt from the records", name,
                     log_.dataFile().c_str(), index, schema_.index(index).name.c_str());
  return 0;
}

int TableMaintenance::ReBuildIndex() {
  static const char kName[] = "TCtreeTable::ReBuildIndex";
  Store store(log_, schema_);
  std::vector<int> rebuild;
  bool counter = false;
  int rc = OpenPresent(store, true, kName);
  if (!rc) rc = Plan(store, &rebuild, &counter, kName);
  store.Close();
  if (rc || (rebuild.empty() && !counter)) return rc;
  // Opened for changes: the seal goes first.
  if ((rc = store.OpenExisting(seal_, Purpose::kMaintain, false, huge_, kName))) return rc;
  MDB_txn* txn;
  if ((rc = log_.Lmdb(mdb_txn_begin(store.env(), nullptr, 0, &txn)))) return log_.Report(kName, rc);
  for (int i : rebuild)
    if (!rc) rc = Rebuild(txn, store, i, kName);
  if (!rc) rc = store.PutNextId(txn);  // past every record
  if (rc) {
    mdb_txn_abort(txn);
  } else {
    rc = log_.Lmdb(mdb_txn_commit(txn));
  }
  rc = log_.Report(kName, rc);
  // Committed or not, LMDB leaves a consistent file: sealed.
  const int sealed = store.CloseAndSeal(seal_, kName);
  return rc ? rc : sealed;
}

int TableMaintenance::SealCopy(TableSeal& source, const char* name) {
  const std::string& dataFile = log_.dataFile();
  const int fd = io::Open(dataFile.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return log_.Report(name, log_.Io(errno));
  int rc = 0;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    log_.owner().debug(1, "%s: %s is in use by another process", name, dataFile.c_str());
    rc = TCT_BUSY;
  }
  if (!rc) rc = source.SealCopy(fd, schema_.baseName(), name);
  ::close(fd);
  return rc;
}

}  // namespace cldb
