// TableMaintenance::Upgrade: a table of the first format (records without
// their sums, sealed by its content) rewritten in the present one.
#include <errno.h>

#include <algorithm>
#include <string>

#include "platform/FileIo.h"
#include "platform/engine/FilterStore.h"
#include "platform/engine/Maintenance.h"

namespace cldb {
namespace {

// Entries written per commit: the new file is trusted only once sealed, so
// its commits may come as often as memory asks.
constexpr uint64_t kEntriesPerCommit = 1 << 16;

// Appends to `dbi` of `fresh` in commits of kEntriesPerCommit.
class Appender {
 public:
  Appender(Store& fresh, MDB_dbi dbi) : fresh_(fresh), dbi_(dbi) {}
  ~Appender() { Stop(); }

  int Put(MDB_val* k, MDB_val* d, unsigned flags) {
    if (!txn_ || written_ == kEntriesPerCommit) {
      if (int rc = Commit()) return rc;
      if (int rc = mdb_txn_begin(fresh_.env(), nullptr, 0, &txn_)) return rc;
      if (int rc = mdb_cursor_open(txn_, dbi_, &cursor_)) return rc;
    }
    ++written_;
    return mdb_cursor_put(cursor_, k, d, flags);
  }
  MDB_txn* txn() const { return txn_; }
  int Commit() {
    if (!txn_) return 0;
    mdb_cursor_close(cursor_);
    const int rc = mdb_txn_commit(txn_);
    txn_ = nullptr;
    written_ = 0;
    return rc;
  }

 private:
  void Stop() {
    if (!txn_) return;
    mdb_cursor_close(cursor_);
    mdb_txn_abort(txn_);
    txn_ = nullptr;
  }

  Store& fresh_;
  MDB_dbi dbi_;
  MDB_txn* txn_ = nullptr;
  MDB_cursor* cursor_ = nullptr;
  uint64_t written_ = 0;
};

}  // namespace

int TableMaintenance::CopyRecords(MDB_txn* from, const Store& old, Store& fresh, const char* name) {
  const size_t length = schema_.recordLength();
  std::vector<unsigned char> value(length + kSumLength);
  Appender out(fresh, fresh.records());
  MDB_cursor* c;
  int rc = mdb_cursor_open(from, old.records(), &c);
  MDB_val k, d;
  for (rc = rc ? rc : mdb_cursor_get(c, &k, &d, MDB_FIRST); rc == 0;
       rc = mdb_cursor_get(c, &k, &d, MDB_NEXT)) {
    if (k.mv_size != kIdLength || d.mv_size != length) {
      mdb_cursor_close(c);
      return log_.Corrupt(name, "record of bad size");
    }
    memcpy(value.data(), d.mv_data, length);
    PutSum(static_cast<const unsigned char*>(k.mv_data), value.data(), length,
           value.data() + length);
    MDB_val stored = Val(value.data(), value.size());
    if ((rc = out.Put(&k, &stored, MDB_APPEND))) break;
  }
  mdb_cursor_close(c);
  if (rc == MDB_NOTFOUND) rc = out.Commit();
  return log_.Report(name, log_.Lmdb(rc));
}

// The entries of index `index` in order; the keys also go into `filter`.
int TableMaintenance::CopyIndex(MDB_txn* from, const Store& old, Store& fresh, int index,
                                KeyFilter* filter, const char* name) {
  Appender out(fresh, fresh.index(index));
  MDB_cursor* c;
  int rc = mdb_cursor_open(from, old.index(index), &c);
  MDB_val k, d;
  std::string last;
  for (rc = rc ? rc : mdb_cursor_get(c, &k, &d, MDB_FIRST); rc == 0;
       rc = mdb_cursor_get(c, &k, &d, MDB_NEXT)) {
    const bool sameKey = last.size() == k.mv_size && memcmp(last.data(), k.mv_data, k.mv_size) == 0;
    if (!sameKey) {
      last.assign(static_cast<const char*>(k.mv_data), k.mv_size);
      if (filter) filter->Add(k.mv_data, k.mv_size);
    }
    if ((rc = out.Put(&k, &d, sameKey ? MDB_APPENDDUP : MDB_APPEND))) break;
  }
  mdb_cursor_close(c);
  if (rc == MDB_NOTFOUND) rc = out.Commit();
  return log_.Report(name, log_.Lmdb(rc));
}

int TableMaintenance::Upgrade(Store& old, const char* name) {
  const std::string& dataFile = log_.dataFile();
  const std::string temp = dataFile + ".upgrade";
  log_.owner().debug(1, "%s: %s is of the first format: rewriting it", name, dataFile.c_str());
  Store fresh(log_, schema_, &temp);
  int rc = 0;
  if (io::Unlink(temp.c_str()) != 0 && errno != ENOENT) rc = log_.Report(name, log_.Io(errno));
  if (!rc) rc = fresh.Create(nullptr, huge_, name);
  MDB_txn* from = nullptr;
  if (!rc) rc = log_.Report(name, log_.Lmdb(mdb_txn_begin(old.env(), nullptr, MDB_RDONLY, &from)));
  if (!rc) rc = CopyRecords(from, old, fresh, name);
  std::vector<KeyFilter> filters(schema_.indexCount());
  for (int i = 0; rc == 0 && i < schema_.indexCount(); ++i) {
    MDB_stat st;
    const bool filtered = schema_.index(i).filtered && mdb_stat(from, old.index(i), &st) == 0;
    if (filtered) filters[i].Reset(std::max<size_t>(2 * st.ms_entries, size_t{1} << 16));
    rc = CopyIndex(from, old, fresh, i, filtered ? &filters[i] : nullptr, name);
  }
  if (from) mdb_txn_abort(from);
  // The id counter, and the filters, in a last commit.
  fresh.RaiseNextId(old.nextId());
  MDB_txn* txn = nullptr;
  if (!rc) rc = log_.Report(name, log_.Lmdb(mdb_txn_begin(fresh.env(), nullptr, 0, &txn)));
  if (!rc) rc = log_.Report(name, fresh.PutNextId(txn));
  for (int i = 0; rc == 0 && i < schema_.indexCount(); ++i)
    if (filters[i].blockCount())
      rc = log_.Report(name, log_.Lmdb(StoreFilter(txn, fresh.meta(), i, &filters[i])));
  if (txn && rc) mdb_txn_abort(txn);
  if (txn && !rc) rc = log_.Report(name, log_.Lmdb(mdb_txn_commit(txn)));
  old.Close();
  fresh.CloseEnv();
  if (!rc && io::Rename(temp.c_str(), dataFile.c_str()) != 0)
    rc = log_.Report(name, log_.Io(errno));
  if (!rc) rc = seal_.Write(fresh.fd(), name);
  if (rc) io::Unlink(temp.c_str());
  fresh.Close();
  return rc;
}

}  // namespace cldb
