// Store: the LMDB environment that holds one table file, with its database
// handles, its claim on the file and its record-id counter; and how a table
// file is made, and opened and checked: before LMDB maps it (the seal), once
// mapped (the very file verified, every page LMDB may read inside it), and
// against the declared schema.
#pragma once

#include <lmdb.h>
#include <sys/stat.h>

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
  Store(EngineLog& log, const TableSchema& schema) : log_(log), schema_(schema) {}
  ~Store() { Close(); }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // `huge`: the map may grow to 1 TiB, not 2 GiB. Each leaves the store
  // closed and unclaimed on failure.
  // Creates the data file (TCT_EXISTS when it exists), drops a seal left by
  // an earlier table of that name, and writes the empty table.
  int Create(TableSeal& seal, bool huge, const char* name);
  // Opens the existing data file after the seal vouched for it.
  int OpenExisting(TableSeal& seal, Purpose purpose, bool readOnly, bool huge, const char* name);
  // Ends a session that may have changed the file: sync, close, seal.
  int CloseAndSeal(TableSeal& seal, const char* name);
  void Close();  // without a sync or a seal

  // Opens sub-database `dbName` as `flags` say; TCT_NOT_FOUND when it is
  // missing, TCT_CORRUPT (logged) when it is of another kind.
  int OpenDb(MDB_txn* txn, const char* dbName, unsigned flags, MDB_dbi* dbi, const char* name);

  bool open() const { return env_ != nullptr; }
  MDB_env* env() const { return env_; }
  MDB_dbi meta() const { return meta_; }
  MDB_dbi records() const { return records_; }
  MDB_dbi index(int i) const { return index_[i]; }

  // The id the next record gets: past every record, and never handed out
  // twice in a session (ids of an aborted batch are not given again).
  uint64_t nextId() const { return nextId_; }
  void TakeId() { ++nextId_; }
  bool nextIdMoved() const { return nextId_ != storedNextId_; }
  // Writes the counter in write txn `txn` when it moved; NextIdStored()
  // once `txn` committed.
  int PutNextId(MDB_txn* txn);
  void NextIdStored() { storedNextId_ = nextId_; }

 private:
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

// The transaction one call works in: the batch's, the renewed read-only
// one, or a write txn of its own.
struct Op {
  MDB_txn* txn = nullptr;
  Cursors* cursors = nullptr;
  bool write = false;
  bool own = false;       // begun for this call alone (not the batch's)
  bool changing = false;  // a change has begun: failing now spoils the txn
  Cursors local;
};

}  // namespace cldb
