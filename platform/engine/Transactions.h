// Transactions: how the calls of an open table reach LMDB.
//
// Reads outside a group renew one read-only txn whose cursors were opened
// once at open. Every change runs in the group: one write txn that batches,
// and changes made outside any batch, share until it commits. The group
// commits
//   - when a batch ends (or a change outside one) and the pages the group
//     may have made dirty pass kGroupBytes, or the group is older than
//     kGroupSeconds;
//   - when another thread than the one that began it needs the table (the
//     engine's LMDB keeps no locks, so a write txn is not tied to its
//     thread: the thread that holds the table commits it);
//   - at close, after which the file is sealed.
// Its commits need no durability of their own: a table that was not closed
// cleanly is refused, never trusted. While a group is pending every read
// goes through its txn, so reads see every change made before them.
//
// A batch that fails half-done, or ends without commit, discards the whole
// group: the batches that ended before it in the same group go with it.
// Their changes were never durable (only a clean close makes changes
// durable); the record ids they took are not handed out again.
#pragma once

#include <lmdb.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/engine/EngineLog.h"
#include "platform/engine/Schema.h"
#include "platform/engine/Store.h"
#include "platform/engine/Walk.h"

namespace cldb {

// Bounds of a group: the pages it may have made dirty (held in memory until
// it commits), and its age.
constexpr uint64_t kGroupBytes = uint64_t{64} << 20;
constexpr std::chrono::milliseconds kGroupAge{2000};

class Transactions {
 public:
  Transactions(Store& store, EngineLog& log, TableWalk& walk, const TableSchema& schema)
      : store_(store), log_(log), walk_(walk), schema_(schema) {}
  Transactions(const Transactions&) = delete;
  Transactions& operator=(const Transactions&) = delete;

  // After the store opened: the read txn and its cursors; 0 or an engine code.
  int Start(bool readOnly, const char* name);
  // Aborts whatever is open; nothing is committed.
  void Stop();
  MDB_txn* readTxn() const { return readTxn_; }  // between reads: reset

  // The txn one call works in (Op, Store.h), and its end: a read txn is
  // reset, a change outside a batch may commit the group.
  int Begin(Op& op, bool write);
  int End(Op& op, int rc, const char* name);

  int BeginBatch(const char* name);
  int EndBatch(bool commit, const char* name);
  bool inBatch() const { return inBatch_; }
  bool pending() const { return group_ != nullptr; }
  // The last commit tried failed: LMDB may have left the meta page it was
  // writing torn, until a later commit writes it again.
  bool lastCommitFailed() const { return lastCommitFailed_; }

  // Commits the group, running `last` in it first (null: nothing more); a
  // group is begun for `last` when none is pending. Not inside a batch.
  int Commit(const std::function<int(MDB_txn*)>& last, const char* name);
  // Discards the group (and a batch inside it).
  void Abort();

  // What a change did to database `db` (0: records, i + 1: index i): a
  // change at some place in it, or `bytes` added at its end.
  void Touched(int db) { ++touched_[db]; }
  void Appended(int db, size_t bytes) { appended_[db] += bytes; }

 private:
  int BeginGroup(const char* name);
  int CommitGroup(const char* name);
  bool Due() const;  // the group is to commit at the end of this batch or call
  void UseCursors(const Cursors* cursors);

  Store& store_;
  EngineLog& log_;
  TableWalk& walk_;
  const TableSchema& schema_;
  bool readOnly_ = false;
  size_t pageSize_ = 4096;

  MDB_txn* readTxn_ = nullptr;
  Cursors readCursors_;

  MDB_txn* group_ = nullptr;
  Cursors groupCursors_;
  std::thread::id groupThread_;
  std::chrono::steady_clock::time_point groupBegan_;
  bool inBatch_ = false;
  int failure_ = 0;  // the change that failed half done in the group
  bool lastCommitFailed_ = false;
  const Cursors* lastCursors_ = nullptr;

  // The group's size: per database, the pages it had when the group began
  // (a bound on the pages changes at random places can dirty), and what
  // changes did to it.
  static constexpr int kDbs = 1 + kMaxIndexes;
  uint64_t pages_[kDbs] = {};
  uint64_t branches_[kDbs] = {};
  uint64_t touched_[kDbs] = {};
  uint64_t appended_[kDbs] = {};
};

}  // namespace cldb
