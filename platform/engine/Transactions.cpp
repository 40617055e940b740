#include "platform/engine/Transactions.h"

#include <algorithm>

namespace cldb {

int Transactions::Start(bool readOnly, const char* name) {
  readOnly_ = readOnly;
  lastCommitFailed_ = false;
  MDB_stat st;
  int rc = mdb_env_stat(store_.env(), &st);
  if (!rc) pageSize_ = st.ms_psize;
  if (!rc) rc = mdb_txn_begin(store_.env(), nullptr, MDB_RDONLY, &readTxn_);
  if (!rc) rc = readCursors_.Open(readTxn_, store_, schema_.indexCount());
  if (readTxn_) mdb_txn_reset(readTxn_);
  lastCursors_ = nullptr;
  return log_.Report(name, log_.Lmdb(rc));
}

void Transactions::Stop() {
  Abort();
  readCursors_.Close(schema_.indexCount());
  if (readTxn_) mdb_txn_abort(readTxn_);
  readTxn_ = nullptr;
}

// A walk's remembered cursor positions belong to one set of cursors.
void Transactions::UseCursors(const Cursors* cursors) {
  if (cursors != lastCursors_) walk_.ForgetPositions();
  lastCursors_ = cursors;
}

int Transactions::Begin(Op& op, bool write) {
  if (!store_.open()) return TCT_NOT_OPEN;
  if (write && readOnly_) return TCT_READ_ONLY;
  int rc = 0;
  if (group_ && !inBatch_ && groupThread_ != std::this_thread::get_id())
    rc = CommitGroup("TCtreeTable");
  if (!rc && !group_ && write) rc = BeginGroup("TCtreeTable");
  if (rc) return rc;
  if (group_) {
    op.txn = group_;
    op.txns = this;
    op.cursors = &groupCursors_;
    op.write = true;
    UseCursors(op.cursors);
    return 0;
  }
  op.own = true;
  rc = mdb_txn_renew(readTxn_);
  if (!rc && (rc = readCursors_.Renew(readTxn_, schema_.indexCount()))) mdb_txn_reset(readTxn_);
  op.txn = readTxn_;
  op.cursors = &readCursors_;
  walk_.ForgetPositions();  // the renewed txn sees another snapshot
  lastCursors_ = op.cursors;
  return log_.Lmdb(rc);
}

int Transactions::End(Op& op, int rc, const char* name) {
  if (op.own) {
    mdb_txn_reset(op.txn);
    return log_.Report(name, rc);
  }
  if (rc && op.changing && !failure_) failure_ = rc;
  if (inBatch_) return log_.Report(name, rc);
  // A call outside a batch ends like a batch of its own.
  if (failure_) {
    Abort();
  } else if (Due()) {
    const int committed = CommitGroup(name);
    if (!rc) rc = committed;
  }
  return log_.Report(name, rc);
}

int Transactions::BeginBatch(const char* name) {
  if (!store_.open()) return TCT_NOT_OPEN;
  if (readOnly_) return TCT_READ_ONLY;
  if (inBatch_) return TCT_BATCH;
  int rc = 0;
  if (group_ && groupThread_ != std::this_thread::get_id()) rc = CommitGroup(name);
  if (!rc && !group_) rc = BeginGroup(name);
  if (rc) return rc;
  inBatch_ = true;
  walk_.ForgetPositions();
  return 0;
}

int Transactions::EndBatch(bool commit, const char* name) {
  if (!inBatch_) return TCT_BATCH;
  inBatch_ = false;
  walk_.ForgetPositions();
  const int failed = failure_;
  if (!commit || failed) {
    Abort();
    return log_.Report(name, commit ? failed : 0);
  }
  return Due() ? CommitGroup(name) : 0;
}

int Transactions::Commit(const std::function<int(MDB_txn*)>& last, const char* name) {
  if (inBatch_) return TCT_BATCH;
  if (!group_ && !last) return 0;
  int rc = group_ ? 0 : BeginGroup(name);
  if (!rc && last && (rc = log_.Report(name, log_.Lmdb(last(group_))))) Abort();
  return rc ? rc : CommitGroup(name);
}

void Transactions::Abort() {
  inBatch_ = false;
  failure_ = 0;
  if (!group_) return;
  groupCursors_.Close(schema_.indexCount());
  mdb_txn_abort(group_);
  group_ = nullptr;
  walk_.ForgetPositions();
  lastCursors_ = nullptr;
}

int Transactions::BeginGroup(const char* name) {
  int rc = mdb_txn_begin(store_.env(), nullptr, 0, &group_);
  if (!rc && (rc = groupCursors_.Open(group_, store_, schema_.indexCount()))) {
    mdb_txn_abort(group_);
  }
  if (rc) {
    group_ = nullptr;
    return log_.Report(name, log_.Lmdb(rc));
  }
  groupThread_ = std::this_thread::get_id();
  groupBegan_ = std::chrono::steady_clock::now();
  failure_ = 0;
  // Per database, a bound on the pages that changes at random places can
  // make dirty: its pages now, or for a database of duplicates (whose
  // duplicates LMDB counts apart) its entries packed into pages, twice over.
  for (int db = 0; db <= schema_.indexCount(); ++db) {
    MDB_stat st{};
    mdb_stat(group_, db == 0 ? store_.records() : store_.index(db - 1), &st);
    const uint64_t entryBytes = db == 0 ? schema_.recordLength() + kSumLength + 2 * kIdLength
                                        : schema_.keyLength(db - 1) + 2 * kIdLength;
    pages_[db] = std::max<uint64_t>(st.ms_branch_pages + st.ms_leaf_pages + st.ms_overflow_pages,
                                    2 * st.ms_entries * entryBytes / pageSize_ + 1);
    branches_[db] = st.ms_branch_pages + 1;
    touched_[db] = appended_[db] = 0;
  }
  return 0;
}

int Transactions::CommitGroup(const char* name) {
  int rc = failure_ ? failure_ : store_.PutNextId(group_);
  groupCursors_.Close(schema_.indexCount());
  if (rc) {
    mdb_txn_abort(group_);
  } else {
    rc = log_.Lmdb(mdb_txn_commit(group_));
    lastCommitFailed_ = rc != 0;
    if (!rc) store_.NextIdStored();
  }
  group_ = nullptr;
  failure_ = 0;
  inBatch_ = false;
  walk_.ForgetPositions();
  lastCursors_ = nullptr;
  return log_.Report(name, rc);
}

// Each change dirties at most the leaf it lands on and that leaf's branch
// pages; a database's touched pages are bounded by what it holds.
bool Transactions::Due() const {
  if (std::chrono::steady_clock::now() - groupBegan_ >= kGroupAge) return true;
  uint64_t pages = 0;
  for (int db = 0; db <= schema_.indexCount(); ++db) {
    if (touched_[db]) pages += std::min(touched_[db], pages_[db]) + branches_[db];
    if (appended_[db]) pages += appended_[db] / pageSize_ + branches_[db];
  }
  return pages * pageSize_ >= kGroupBytes;
}

}  // namespace cldb
