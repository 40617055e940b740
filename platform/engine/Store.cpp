#include "platform/engine/Store.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "platform/FileIo.h"
#include "platform/ZelPlatformInfo.h"
#include "platform/engine/FreePages.h"

namespace cldb {
namespace {

// Virtual map sizes, tried in turn when the address space refuses one. The
// file grows only as pages are used, so a large map costs nothing on disk.
constexpr size_t kHugeMapSizes[] = {size_t{1} << 40, size_t{1} << 36, size_t{1} << 33};
constexpr size_t kSmallMapSizes[] = {size_t{2} << 30};

}  // namespace

// ---- making and opening --------------------------------------------------------

int Store::Create(TableSeal* seal, bool huge, const char* name) {
  fd_ = io::Open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW,
                 ZelPlatformInfo::NewFileMode());
  if (fd_ < 0 && errno == EEXIST) {
    log_.owner().debug(1, "%s: %s exists already", name, path_.c_str());
    return TCT_EXISTS;
  }
  if (fd_ < 0) return log_.Report(name, log_.Io(errno));
  struct stat st;
  int rc = fstat(fd_, &st) != 0 ? log_.Report(name, log_.Io(errno)) : 0;
  const FileId created = FileId::Of(st);
  if (!rc) rc = claim_.Acquire(created);
  if (!rc && flock(fd_, LOCK_EX | LOCK_NB) != 0) rc = log_.Report(name, log_.Io(errno));
  if (!rc && seal) rc = seal->Remove(false, name);  // one left behind by an earlier table
  if (!rc) rc = OpenEnv(false, huge, name);
  int lmdbFd = -1;
  if (!rc) rc = StatMapped(&lmdbFd, &st, name);
  // LMDB must write the file that was made (and claimed), not another one
  // put at the path meanwhile.
  if (!rc && !(FileId::Of(st) == created)) rc = log_.Untrusted(name, kChangedWhileOpening);
  if (!rc) rc = Initialize(name);
  if (rc) {
    if (lstat(path_.c_str(), &st) == 0 && FileId::Of(st) == created) io::Unlink(path_.c_str());
    Close();
  }
  return rc;
}

// Makes the sub-databases and the meta entries of a new file.
int Store::Initialize(const char* name) {
  MDB_txn* txn = nullptr;
  int rc = mdb_txn_begin(env_, nullptr, 0, &txn);
  if (!rc) rc = mdb_dbi_open(txn, kMetaDb, MDB_CREATE, &meta_);
  if (!rc) rc = mdb_dbi_open(txn, kRecordDb, MDB_CREATE, &records_);
  for (int i = 0; rc == 0 && i < schema_.indexCount(); ++i)
    rc = mdb_dbi_open(txn, IndexDbName(i).c_str(), kIndexFlags | MDB_CREATE, &index_[i]);
  const std::string text = schema_.Describe();
  unsigned char first[kIdLength];
  PutId(1, first);
  MDB_val key = TextVal(kSchemaKey), data = Val(text.data(), text.size());
  if (!rc) rc = mdb_put(txn, meta_, &key, &data, 0);
  key = TextVal(kNextIdKey);
  data = Val(first, sizeof(first));
  if (!rc) rc = mdb_put(txn, meta_, &key, &data, 0);
  if (!rc) {
    rc = mdb_txn_commit(txn);
  } else if (txn) {
    mdb_txn_abort(txn);
  }
  nextId_ = storedNextId_ = 1;
  return log_.Report(name, log_.Lmdb(rc));
}

// The engine's own descriptor, never through a link; locked against other
// processes' sessions (see the header) and claimed against this one's.
int Store::OpenFile(bool readOnly, struct stat* st, const char* name) {
  fd_ = io::Open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (fd_ < 0 && errno == ENOENT) {
    log_.owner().debug(1, "%s: %s does not exist", name, path_.c_str());
    return TCT_NO_FILE;
  }
  if (fd_ < 0 && errno == ELOOP) return log_.Corrupt(name, "a symbolic link");
  if (fd_ < 0 || fstat(fd_, st) != 0) return log_.Report(name, log_.Io(errno));
  if (!S_ISREG(st->st_mode)) return log_.Corrupt(name, "not a regular file");
  if (int rc = claim_.Acquire(FileId::Of(*st))) return rc;
  if (flock(fd_, (readOnly ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) return 0;
  if (errno != EWOULDBLOCK) return log_.Report(name, log_.Io(errno));
  log_.owner().debug(1, "%s: %s is in use by another process", name, path_.c_str());
  return TCT_BUSY;
}

int Store::OpenExisting(TableSeal& seal, Purpose purpose, bool readOnly, bool huge,
                        const char* name) {
  struct stat st;
  Vouch vouch = Vouch::kIdentity;
  int rc = OpenFile(readOnly, &st, name);
  if (!rc && st.st_size == 0) rc = log_.Corrupt(name, "empty file");
  if (!rc) rc = seal.Check(fd_, st, &vouch, name);
  // Under another schema the open fails: the file is read only to say how
  // its schema differs, and keeps its seal.
  const bool otherSchema = rc == TCT_SCHEMA_MISMATCH;
  if (otherSchema) rc = 0;
  if (!rc && !readOnly && !otherSchema) rc = seal.Remove(true, name);
  if (!rc) rc = OpenEnv(readOnly || otherSchema, huge, name);
  if (!rc) rc = CheckMapped(st, name);
  MDB_txn* txn = nullptr;
  if (!rc) rc = log_.Report(name, log_.Lmdb(mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn)));
  if (!rc) {
    rc = Load(txn, purpose, name);
    // The first format is vouched for by its content only.
    if (!rc && (format_ == kFirstFileFormat) != (vouch == Vouch::kContent))
      rc = log_.Untrusted(name, "its seal is of another format than the file");
    if (!rc && otherSchema) rc = log_.Untrusted(name, "its seal names another schema");
    // Committing the read-only txn keeps the database handles it opened.
    if (rc) {
      mdb_txn_abort(txn);
    } else {
      rc = log_.Report(name, log_.Lmdb(mdb_txn_commit(txn)));
    }
  }
  if (rc) Close();
  return rc;
}

int Store::OpenEnv(bool readOnly, bool huge, const char* name) {
  const size_t* sizes = huge ? kHugeMapSizes : kSmallMapSizes;
  const size_t count = huge ? std::size(kHugeMapSizes) : std::size(kSmallMapSizes);
  int rc = 0;
  for (size_t i = 0; i < count; ++i) {
    rc = mdb_env_create(&env_);
    if (rc) break;
    rc = mdb_env_set_maxdbs(env_, kMaxDbs);
    if (!rc) rc = mdb_env_set_mapsize(env_, sizes[i]);
    if (!rc)
      rc = mdb_env_open(env_, path_.c_str(), kEnvFlags | (readOnly ? MDB_RDONLY : 0),
                        ZelPlatformInfo::NewFileMode());
    if (!rc) return 0;
    mdb_env_close(env_);
    env_ = nullptr;
    // ENOMEM: the address space refuses the map; EINVAL: so does a tool
    // such as valgrind that limits mappings. Both retry with less.
    if (rc != ENOMEM && rc != EINVAL) break;
  }
  if (rc == MDB_INVALID || rc == MDB_VERSION_MISMATCH) return log_.Corrupt(name, mdb_strerror(rc));
  return log_.Report(name, log_.Lmdb(rc));
}

// The file LMDB mapped must be the one whose seal was checked (`verified`),
// and every page LMDB may read must lie inside it. The file may end before
// the last page the meta page counts, when only free pages lie past its end
// (see FreePages.h).
int Store::CheckMapped(const struct stat& verified, const char* name) {
  MDB_stat st;
  MDB_envinfo info;
  int fd = -1;
  struct stat fs = {};
  int rc = StatMapped(&fd, &fs, name);
  if (rc) return rc;
  if (!SameFile(fs, verified)) return log_.Untrusted(name, kChangedWhileOpening);
  rc = mdb_env_stat(env_, &st);
  if (!rc) rc = mdb_env_info(env_, &info);
  if (rc) return log_.Report(name, log_.Lmdb(rc));
  const unsigned long long size = fs.st_size, page = st.ms_psize;
  const unsigned long long counted = info.me_last_pgno + 1ULL;
  char reason[256];
  const int length = snprintf(reason, sizeof(reason), "%llu bytes for %llu pages of %llu bytes",
                              size, counted, page);
  if (page == 0 || size < 2 * page || size % page != 0) return log_.Corrupt(name, reason);
  if (counted * page <= size) return 0;
  std::string why;
  rc = CheckPagesPastEndAreFree(fd, st.ms_psize, size / page, info, &why);
  if (rc == 0) return 0;
  if (rc > 0) return log_.Report(name, log_.Io(rc));
  snprintf(reason + length, sizeof(reason) - length, "; %s", why.c_str());
  return log_.Corrupt(name, reason);
}

int Store::StatMapped(int* fd, struct stat* st, const char* name) {
  if (int rc = mdb_env_get_fd(env_, fd)) return log_.Report(name, log_.Lmdb(rc));
  return fstat(*fd, st) != 0 ? log_.Report(name, log_.Io(errno)) : 0;
}

int Store::OpenDb(MDB_txn* txn, const char* dbName, unsigned flags, MDB_dbi* dbi,
                  const char* name) {
  int rc = mdb_dbi_open(txn, dbName, flags, dbi);
  if (rc == MDB_NOTFOUND) return TCT_NOT_FOUND;
  unsigned stored = 0;
  if (!rc) rc = mdb_dbi_flags(txn, *dbi, &stored);
  if (rc == 0 && (stored & ~unsigned{MDB_CREATE}) != (flags & ~unsigned{MDB_CREATE}))
    rc = MDB_INCOMPATIBLE;
  if (rc != MDB_INCOMPATIBLE) return log_.Report(name, log_.Lmdb(rc));
  char reason[96];
  snprintf(reason, sizeof(reason), "sub-database \"%s\" of the wrong kind", dbName);
  return log_.Corrupt(name, reason);
}

// Reads and checks what the file holds against the declaration.
int Store::Load(MDB_txn* txn, Purpose purpose, const char* name) {
  int rc = OpenDb(txn, kMetaDb, 0, &meta_, name);
  if (!rc) rc = OpenDb(txn, kRecordDb, 0, &records_, name);
  if (rc == TCT_NOT_FOUND) return log_.Corrupt(name, "no table sub-databases");
  if (rc) return rc;
  MDB_val key = TextVal(kSchemaKey), data;
  rc = mdb_get(txn, meta_, &key, &data);
  if (rc == MDB_NOTFOUND) return log_.Corrupt(name, "no stored schema");
  if (rc) return log_.Report(name, log_.Lmdb(rc));
  const std::string stored(static_cast<const char*>(data.mv_data), data.mv_size);
  if ((rc = schema_.Compare(stored, name, &format_))) return rc;
  key = TextVal(kNextIdKey);
  rc = mdb_get(txn, meta_, &key, &data);
  if (rc == MDB_NOTFOUND || (rc == 0 && data.mv_size != kIdLength))
    return log_.Corrupt(name, "no record id counter");
  if (rc) return log_.Report(name, log_.Lmdb(rc));
  nextId_ = storedNextId_ = GetId(data.mv_data);
  if ((rc = LoadIndexes(txn, purpose, name))) return rc;
  uint64_t last = 0;
  if ((rc = LastRecordId(txn, &last))) return log_.Report(name, rc);
  nextId_ = std::max({nextId_, last + 1, uint64_t{1}});
  return 0;
}

int Store::LoadIndexes(MDB_txn* txn, Purpose purpose, const char* name) {
  MDB_stat records;
  int rc = mdb_stat(txn, records_, &records);
  if (rc) return log_.Report(name, log_.Lmdb(rc));
  for (int i = 0; i < schema_.indexCount(); ++i) {
    rc = OpenDb(txn, IndexDbName(i).c_str(), kIndexFlags, &index_[i], name);
    if (rc == TCT_NOT_FOUND && purpose == Purpose::kMaintain) continue;
    if (rc == TCT_NOT_FOUND) return log_.Corrupt(name, "an index sub-database is missing");
    if (rc) return rc;
    MDB_stat st;
    if ((rc = mdb_stat(txn, index_[i], &st))) return log_.Report(name, log_.Lmdb(rc));
    const bool lazy = schema_.index(i).lazy;
    if (purpose == Purpose::kUse &&
        (lazy ? st.ms_entries < records.ms_entries : st.ms_entries != records.ms_entries)) {
      char reason[160];
      snprintf(reason, sizeof(reason), "index %d holds %zu entries for %zu records", i,
               st.ms_entries, records.ms_entries);
      return log_.Corrupt(name, reason);
    }
  }
  return 0;
}

int Store::LastRecordId(MDB_txn* txn, uint64_t* last) {
  MDB_cursor* c;
  int rc = mdb_cursor_open(txn, records_, &c);
  if (rc) return log_.Lmdb(rc);
  MDB_val key, data;
  rc = mdb_cursor_get(c, &key, &data, MDB_LAST);
  mdb_cursor_close(c);
  if (rc == MDB_NOTFOUND) return 0;
  if (rc) return log_.Lmdb(rc);
  if (key.mv_size != kIdLength) return log_.Corrupt("TCtreeTable", "record key of bad size");
  *last = GetId(key.mv_data);
  return 0;
}

// ---- closing ------------------------------------------------------------------------

int Store::CloseAndSeal(TableSeal& seal, const char* name) {
  CloseEnv();
  const int rc = seal.Write(fd_, name);
  Close();
  return rc;
}

void Store::CloseEnv() {
  if (env_) mdb_env_close(env_);
  env_ = nullptr;
}

void Store::Close() {
  CloseEnv();
  if (fd_ >= 0) ::close(fd_);  // ends the lock
  fd_ = -1;
  format_ = kFileFormat;
  claim_.Release();
}

int Store::PutNextId(MDB_txn* txn) {
  if (!nextIdMoved()) return 0;
  unsigned char id[kIdLength];
  PutId(nextId_, id);
  MDB_val key = TextVal(kNextIdKey), data = Val(id, sizeof(id));
  return log_.Lmdb(mdb_put(txn, meta_, &key, &data, 0));
}

// ---- cursors ------------------------------------------------------------------------

int Cursors::Open(MDB_txn* txn, const Store& store, int indexCount) {
  int rc = mdb_cursor_open(txn, store.records(), &record);
  for (int i = 0; rc == 0 && i < indexCount; ++i)
    rc = mdb_cursor_open(txn, store.index(i), &index[i]);
  if (rc) Close(indexCount);
  return rc;
}

int Cursors::Renew(MDB_txn* txn, int indexCount) {
  int rc = mdb_cursor_renew(txn, record);
  for (int i = 0; rc == 0 && i < indexCount; ++i) rc = mdb_cursor_renew(txn, index[i]);
  return rc;
}

void Cursors::Close(int indexCount) {
  if (record) mdb_cursor_close(record);
  record = nullptr;
  for (int i = 0; i < indexCount; ++i) {
    if (index[i]) mdb_cursor_close(index[i]);
    index[i] = nullptr;
  }
}

}  // namespace cldb
