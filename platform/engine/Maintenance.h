// TableMaintenance: the work on a table file that no table object holds
// open -- compaction, re-indexing, sealing a copy -- and the upgrade of a
// file of the first format, which the first session that may change it
// runs. Each opens the file on its own (checked as an open checks it, but
// accepting indexes that are missing or out of step) and leaves a sealed
// table behind. A file of the first format is upgraded first.
#pragma once

#include <lmdb.h>

#include <string>
#include <vector>

#include "platform/KeyFilter.h"
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

  // A compacting copy to "<base>.dat.compact", renamed over the data file,
  // then sealed.
  int MakeCompact();
  // Rebuilds every index that does not hold one entry per record (by
  // LMDB's counts: the seal vouches for the file as the engine wrote it)
  // and the id counter when it lags; when nothing is to be done, the file
  // and its seal stay untouched.
  int ReBuildIndex();
  // Seals the data file, a byte copy of the table `source` vouches for.
  int SealCopy(TableSeal& source, const char* name);
  // Rewrites the table of the first format open in `old` for changes (its
  // seal removed) in the present format: "<base>.dat.upgrade", written with
  // appends only (so compact), renamed over the data file and sealed.
  // `old` is closed whatever happens.
  int Upgrade(Store& old, const char* name);

 private:
  int OpenPresent(Store& store, bool readOnly, const char* name);
  int Plan(Store& store, std::vector<int>* rebuild, bool* counter, const char* name);
  int Rebuild(MDB_txn* txn, Store& store, int index, const char* name);
  int CopyRecords(MDB_txn* from, const Store& old, Store& fresh, const char* name);
  int CopyIndex(MDB_txn* from, const Store& old, Store& fresh, int index, KeyFilter* filter,
                const char* name);

  const TableSchema& schema_;
  EngineLog& log_;
  TableSeal& seal_;
  bool huge_;
};

}  // namespace cldb
