// TableMaintenance: MakeCompact and ReBuildIndex, on a sealed table that no
// table object holds open. Each opens the file on its own (checked as an
// open checks it, but accepting indexes that are missing or out of step)
// and leaves a sealed table behind.
#pragma once

#include <lmdb.h>

#include "platform/engine/EngineLog.h"
#include "platform/engine/Schema.h"
#include "platform/engine/Seal.h"
#include "platform/engine/Store.h"

namespace cldb {

class TableMaintenance {
 public:
  // `huge` as for Store.
  TableMaintenance(const TableSchema& schema, EngineLog& log, TableSeal& seal, bool huge)
      : schema_(schema), log_(log), seal_(seal), huge_(huge) {}

  // A compacting copy to "<base>.dat.compact", synced and renamed over the
  // data file, then sealed.
  int MakeCompact();
  // Rebuilds every index that does not hold exactly one entry per record;
  // when all agree, the file and its seal stay untouched.
  int ReBuildIndex();

 private:
  template <typename Fn>
  int ForEachRecord(MDB_cursor* records, Fn fn);
  int IndexAgrees(MDB_txn* txn, const Store& store, MDB_cursor* records, int i, MDB_dbi dbi,
                  bool* agrees);
  int FillIndex(MDB_txn* txn, MDB_cursor* records, int i, MDB_dbi dbi);
  int Unseal(bool* unsealed);
  int Reindex(MDB_txn* txn, Store& store, bool* unsealed, const char* name);

  const TableSchema& schema_;
  EngineLog& log_;
  TableSeal& seal_;
  bool huge_;
};

}  // namespace cldb
