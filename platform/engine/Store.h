// Store: the LMDB environment that holds one table file, with its database
// handles, the engine's own descriptor of the file (its identity, the lock
// that keeps writers apart, the seal), its claim on the file and its
// record-id counter; and how a table file is made, and opened and checked:
// before LMDB maps it (the seal), once mapped (the very file verified, every
// page LMDB may read inside it), and against the declared schema.
//
// Processes: a session that may change the file holds an exclusive lock on
// it (flock), a read-only one a shared lock; either fails with TCT_BUSY
// rather than wait. LMDB itself keeps no locks (kEnvFlags).
#pragma once

#include <lmdb.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>

#include "platform/engine/EngineLog.h"
#include "platform/engine/Format.h"
#include "platform/engine/Schema.h"
#include "platform/engine/Seal.h"

namespace cldb {

// What an open of an existing file is for: use (strict), or maintenance,
// which accepts indexes that are missing or out of step.
enum class Purpose { kUse, kMaintain };

class Store {
 public:
  // The store of the table file `path` (which must outlive it): by default
  // the table's data file; maintenance names files of its own.
  Store(EngineLog& log, const TableSchema& schema, const std::string* path = nullptr)
      : log_(log), schema_(schema), path_(path ? *path : log.dataFile()) {}
  ~Store() { Close(); }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // `huge`: the map may grow to 1 TiB, not 2 GiB. Each leaves the store
  // closed and unclaimed on failure.
  // Creates the file (TCT_EXISTS when it exists, never through a link,
  // the mode of new files), drops `seal` (one left by an earlier table of that name; null
  // for a file that is not the table's), and writes the empty table.
  int Create(TableSeal* seal, bool huge, const char* name);
  // Opens the existing data file after the seal vouched for it. Unless
  // `readOnly`, the seal is removed (durably) before LMDB reads the file, so
  // that whatever follows -- a change, a failure, a crash -- leaves it
  // refused until a clean end seals it again.
  int OpenExisting(TableSeal& seal, Purpose purpose, bool readOnly, bool huge, const char* name);
  // Ends a session that may have changed the file: close LMDB, seal (which
  // syncs the file).
  int CloseAndSeal(TableSeal& seal, const char* name);
  // Closes LMDB only; the descriptor, lock and claim stay (fd() remains).
  void CloseEnv();
  void Close();  // without a sync or a seal

  // Opens sub-database `dbName` as `flags` say; TCT_NOT_FOUND when it is
  // missing, TCT_CORRUPT (logged) when it is of another kind.
  int OpenDb(MDB_txn* txn, const char* dbName, unsigned flags, MDB_dbi* dbi, const char* name);

  bool open() const { return env_ != nullptr; }
  int fd() const { return fd_; }
  // The file's layout: kFileFormat, or kFirstFileFormat (records without
  // sums, vouched for by a seal of the first format).
  int format() const { return format_; }
  unsigned sumLength() const { return format_ == kFileFormat ? kSumLength : 0; }
  MDB_env* env() const { return env_; }
  MDB_dbi meta() const { return meta_; }
  MDB_dbi records() const { return records_; }
  MDB_dbi index(int i) const { return index_[i]; }

  // The id the next record gets: past every record, and never handed out
  // twice in a session (ids of an aborted batch are not given again).
  uint64_t nextId() const { return nextId_; }
  void TakeId() { ++nextId_; }
  void RaiseNextId(uint64_t id) { nextId_ = std::max(nextId_, id); }
  bool nextIdMoved() const { return nextId_ != storedNextId_; }
  // Writes the counter in write txn `txn` when it moved; NextIdStored()
  // once `txn` committed.
  int PutNextId(MDB_txn* txn);
  void NextIdStored() { storedNextId_ = nextId_; }

 private:
  int OpenFile(bool readOnly, struct stat* st, const char* name);
  int OpenEnv(bool readOnly, bool huge, const char* name);
  int CheckMapped(const struct stat& verified, const char* name);
  // The descriptor and status of the file LMDB has open.
  int StatMapped(int* fd, struct stat* st, const char* name);
  int Initialize(const char* name);
  int Load(MDB_txn* txn, Purpose purpose, const char* name);
  int LoadIndexes(MDB_txn* txn, Purpose purpose, const char* name);
  int LastRecordId(MDB_txn* txn, uint64_t* last);

  EngineLog& log_;
  const TableSchema& schema_;
  const std::string& path_;
  int fd_ = -1;
  int format_ = kFileFormat;
  FileClaim claim_;
  MDB_env* env_ = nullptr;
  MDB_dbi meta_ = 0, records_ = 0;
  MDB_dbi index_[kMaxIndexes] = {};
  uint64_t nextId_ = 1;
  uint64_t storedNextId_ = 1;  // as the meta database holds it
};

// One cursor per database of a table, all in one txn.
struct Cursors {
  MDB_cursor* record = nullptr;
  MDB_cursor* index[kMaxIndexes] = {};

  int Open(MDB_txn* txn, const Store& store, int indexCount);  // an LMDB code
  int Renew(MDB_txn* txn, int indexCount);
  void Close(int indexCount);
};

// The transaction one call works in (Transactions.h): the group's write
// txn, or the renewed read-only one.
class Transactions;

struct Op {
  MDB_txn* txn = nullptr;
  Transactions* txns = nullptr;  // the group's, for what its changes touch
  Cursors* cursors = nullptr;
  bool write = false;
  bool own = false;       // the read txn, renewed for this call alone
  bool changing = false;  // a change has begun: failing now spoils the group
};

}  // namespace cldb
