// The ceiling of our engine: the cache table's work written straight on
// LMDB, in the very layout that TCtreeTable keeps (see TCtreeTable.cpp):
//   "meta"     "nextid" -> big-endian u64, the next record id
//   "records"  big-endian u64 id -> the 120-byte record; ids only grow, so
//              every add is an MDB_APPEND
//   "index0"   MDB_DUPSORT|MDB_DUPFIXED, big-endian crc64 -> id
//   "index1"   the same, big-endian archiveFileId -> id, lazy: a hit adds
//              the entry under its new archive file and leaves the old one,
//              which the walks of that archive file recognise and delete
// and, as the engine keeps for the crc64 index, an in-memory cldb::KeyFilter of
// the crc64 keys that spares a query for a new block its descent,
// with the engine's environment flags (MDB_NOSUBDIR|MDB_NOSYNC|MDB_NOTLS),
// map size and sync at close. No current record, no walk bookkeeping, no
// schema: each operation is the cursor calls it needs.
#include <errno.h>
#include <lmdb.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "Backend.h"
#include "CacheRules.h"
#include "platform/KeyFilter.h"

namespace bench {
namespace {

constexpr unsigned kEnvFlags = MDB_NOSUBDIR | MDB_NOSYNC | MDB_NOTLS;
constexpr unsigned kIndexFlags = MDB_DUPSORT | MDB_DUPFIXED;
// The engine's map sizes, tried in turn: valgrind refuses the largest.
constexpr size_t kMapSizes[] = {size_t{1} << 40, size_t{1} << 33};
constexpr size_t kRecordSize = sizeof(_CacheRecord);

// A big-endian key or id, so that LMDB's byte order is numeric order.
template <int N>
struct BigEndian {
  unsigned char bytes[N];
  explicit BigEndian(uint64_t value) {
    for (int i = N - 1; i >= 0; --i, value >>= 8) bytes[i] = static_cast<unsigned char>(value);
  }
  explicit BigEndian(const MDB_val& from) { memcpy(bytes, from.mv_data, N); }
  MDB_val val() { return MDB_val{N, bytes}; }
  uint64_t Value() const {
    uint64_t value = 0;
    for (int i = 0; i < N; ++i) value = (value << 8) | bytes[i];
    return value;
  }
};
using Id = BigEndian<8>;

// Moves the entry of record `id` from one key of an index to another.
int MoveEntry(MDB_cursor* index, MDB_val from, MDB_val to, Id& id) {
  MDB_val found = id.val(), entry = id.val();  // the get points `found` into the page
  int rc = mdb_cursor_get(index, &from, &found, MDB_GET_BOTH);
  if (!rc) rc = mdb_cursor_del(index, 0);
  if (!rc) rc = mdb_cursor_put(index, &to, &entry, 0);
  return rc;
}

// Files record `id` under `to` in the lazy index; it may be there already.
int AddLazyEntry(MDB_cursor* index, MDB_val to, Id& id) {
  MDB_val entry = id.val();
  const int rc = mdb_cursor_put(index, &to, &entry, MDB_NODUPDATA);
  return rc == MDB_KEYEXIST ? 0 : rc;
}

class LmdbBackend : public Backend {
 public:
  ~LmdbBackend() override { Close(); }

  const char* name() const override { return "LMDB"; }

  int Create(const std::string& folder) override {
    path_ = folder + "/direct.dat";
    return Open(MDB_CREATE);
  }

  int Query(CacheRecordRef* refs, int count) override {
    Txn t(*this);
    int hits = 0;
    for (int i = 0; i < count && t.ok(); ++i) hits += t.Check(QueryOne(t, refs[i]));
    return t.Commit() == 0 ? hits : -1;
  }

  int Insert(CacheRecordRef* refs, int count) override {
    Txn t(*this);
    for (int i = 0; i < count && t.ok(); ++i) t.Check(InsertOne(t, refs[i]));
    return t.Commit();
  }

  int MarkExpired(uint32_t afileId) override {
    Txn t(*this);
    BigEndian<4> key(afileId);
    MDB_val k = key.val(), d;
    int rc = t.ok() ? mdb_cursor_get(t.afile, &k, &d, MDB_SET) : EINVAL;
    // After a delete, LMDB's next step reads the entry that followed it.
    for (; rc == 0; rc = mdb_cursor_get(t.afile, &k, &d, MDB_NEXT_DUP)) {
      Id id(d);
      _CacheRecord rec;
      bool stale;
      if ((rc = FetchFiled(t, id, afileId, rec, &stale))) break;
      if (stale) {
        rc = mdb_cursor_del(t.afile, 0);
      } else if (IsLive(rec)) {
        rc = Expire(t, id, rec);
      }
      if (rc) break;
    }
    t.Check(rc == MDB_NOTFOUND ? 0 : -1);
    return t.Commit();
  }

  // Key 0 holds only expired records; each is deleted from the front.
  int64_t CleanUp() override {
    Txn t(*this);
    int64_t deleted = 0;
    BigEndian<8> zero(0);
    int rc = t.ok() ? 0 : EINVAL;
    while (rc == 0) {
      MDB_val k = zero.val(), d;
      if ((rc = mdb_cursor_get(t.crc, &k, &d, MDB_SET))) break;
      Id id(d);
      _CacheRecord rec;
      if ((rc = Fetch(t, id, rec)) || (rc = IsLive(rec) ? EINVAL : 0)) break;
      BigEndian<4> afile(rec.archiveFileId);
      MDB_val afileKey = afile.val(), idVal = id.val();
      rc = mdb_cursor_del(t.crc, 0);
      if (!rc) rc = mdb_cursor_del(t.records, 0);
      if (!rc) rc = mdb_cursor_get(t.afile, &afileKey, &idVal, MDB_GET_BOTH);
      if (!rc) rc = mdb_cursor_del(t.afile, 0);
      deleted += rc == 0;
    }
    t.Check(rc == MDB_NOTFOUND ? 0 : -1);
    return t.Commit() == 0 ? deleted : -1;
  }

  int64_t SeekEachAfile() override {
    Txn t(*this);
    int64_t seeks = 0;
    int rc = t.ok() ? 0 : EINVAL;
    for (uint32_t id = 1; rc == 0;) {
      BigEndian<4> key(id);
      MDB_val k = key.val(), d;
      if ((rc = mdb_cursor_get(t.afile, &k, &d, MDB_SET_RANGE))) break;
      _CacheRecord rec;
      for (bool stale = true; rc == 0;) {
        Id recordId(d);
        const auto filedUnder = static_cast<uint32_t>(BigEndian<4>(k).Value());
        if ((rc = FetchFiled(t, recordId, filedUnder, rec, &stale)) || !stale) break;
        rc = mdb_cursor_del(t.afile, 0);
        if (!rc) rc = mdb_cursor_get(t.afile, &k, &d, MDB_NEXT);
      }
      if (rc) break;
      ++seeks;
      if (rec.archiveFileId == UINT32_MAX) break;
      id = rec.archiveFileId + 1;
    }
    t.Check(rc == 0 || rc == MDB_NOTFOUND ? 0 : -1);
    return t.Commit() == 0 ? seeks : -1;
  }

  int Compact() override {
    const std::string temp = path_ + ".compact";
    int rc = mdb_env_copy2(env_, temp.c_str(), MDB_CP_COMPACT);
    Close();
    if (!rc) rc = rename(temp.c_str(), path_.c_str());
    return rc == 0 ? Open(0) : -1;
  }

  int64_t RecordCount() override {
    MDB_txn* txn;
    MDB_stat st;
    if (mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn)) return -1;
    const int rc = mdb_stat(txn, records_, &st);
    mdb_txn_abort(txn);
    return rc ? -1 : static_cast<int64_t>(st.ms_entries);
  }

  std::vector<std::string> Files() const override { return {path_}; }

 private:
  // One write transaction with a cursor per database; aborted unless it
  // commits. Check() records the failure of a step (a negative result).
  class Txn {
   public:
    explicit Txn(LmdbBackend& store) : store_(store) {
      failed_ = mdb_txn_begin(store.env_, nullptr, 0, &txn) ||
                mdb_cursor_open(txn, store.records_, &records) ||
                mdb_cursor_open(txn, store.crcIndex_, &crc) ||
                mdb_cursor_open(txn, store.afileIndex_, &afile);
    }
    ~Txn() {
      if (txn) mdb_txn_abort(txn);  // closes the cursors too
    }
    bool ok() const { return !failed_; }
    int Check(int result) {
      failed_ = failed_ || result < 0;
      return result < 0 ? 0 : result;
    }
    int Commit() {
      int rc = failed_ || !txn ? -1 : store_.StoreNextId(txn);
      if (rc == 0) {
        rc = mdb_txn_commit(txn);  // frees the txn even when it fails
      } else if (txn) {
        mdb_txn_abort(txn);
      }
      txn = nullptr;
      if (rc == 0) store_.storedNextId_ = store_.nextId_;
      return rc == 0 ? 0 : -1;
    }

    MDB_txn* txn = nullptr;
    MDB_cursor* records = nullptr;
    MDB_cursor* crc = nullptr;
    MDB_cursor* afile = nullptr;

   private:
    LmdbBackend& store_;
    bool failed_ = false;
  };

  int Open(unsigned createFlag) {
    MDB_txn* txn = nullptr;
    int rc = 0;
    for (size_t mapSize : kMapSizes) {
      rc = mdb_env_create(&env_);
      if (!rc) rc = mdb_env_set_maxdbs(env_, 4);
      if (!rc) rc = mdb_env_set_mapsize(env_, mapSize);
      if (!rc) rc = mdb_env_open(env_, path_.c_str(), kEnvFlags, 0644);
      if (rc != ENOMEM && rc != EINVAL) break;
      mdb_env_close(env_);
      env_ = nullptr;
    }
    if (!rc) rc = mdb_txn_begin(env_, nullptr, 0, &txn);
    if (!rc) rc = mdb_dbi_open(txn, "meta", createFlag, &meta_);
    if (!rc) rc = mdb_dbi_open(txn, "records", createFlag, &records_);
    if (!rc) rc = mdb_dbi_open(txn, "index0", kIndexFlags | createFlag, &crcIndex_);
    if (!rc) rc = mdb_dbi_open(txn, "index1", kIndexFlags | createFlag, &afileIndex_);
    if (!rc) rc = LoadNextId(txn);
    if (!rc) rc = FillFilter(txn);
    if (!rc)
      rc = mdb_txn_commit(txn);
    else if (txn)
      mdb_txn_abort(txn);
    return rc ? -1 : 0;
  }

  // The engine's sizing: room for twice the keys, at least 65,536.
  int FillFilter(MDB_txn* txn) {
    MDB_stat st;
    MDB_cursor* c;
    int rc = mdb_stat(txn, crcIndex_, &st);
    if (!rc) rc = mdb_cursor_open(txn, crcIndex_, &c);
    if (rc) return rc;
    crcFilter_.Reset(std::max<size_t>(2 * st.ms_entries, size_t{1} << 16));
    MDB_val k, d;
    for (rc = mdb_cursor_get(c, &k, &d, MDB_FIRST); rc == 0;
         rc = mdb_cursor_get(c, &k, &d, MDB_NEXT_NODUP))
      crcFilter_.Add(k.mv_data, k.mv_size);
    mdb_cursor_close(c);
    return rc == MDB_NOTFOUND ? 0 : rc;
  }

  int FilterKey(Txn& t, BigEndian<8>& key) {
    crcFilter_.Add(key.bytes, sizeof(key.bytes));
    return crcFilter_.full() ? FillFilter(t.txn) : 0;
  }

  // Puts the CRC cursor on the first record of `key`, unless the filter
  // rules the key out.
  int SeekCrc(Txn& t, BigEndian<8>& key, MDB_val* k, MDB_val* d) {
    if (!crcFilter_.MayContain(key.bytes, sizeof(key.bytes))) return MDB_NOTFOUND;
    *k = key.val();
    return mdb_cursor_get(t.crc, k, d, MDB_SET);
  }

  // A new file gets its id counter at the first commit.
  int LoadNextId(MDB_txn* txn) {
    MDB_val key = NextIdKey(), data;
    const int rc = mdb_get(txn, meta_, &key, &data);
    nextId_ = 1;
    storedNextId_ = 0;
    if (rc == MDB_NOTFOUND) return 0;
    if (rc || data.mv_size != 8) return rc ? rc : MDB_CORRUPTED;
    nextId_ = 0;
    for (int i = 0; i < 8; ++i)
      nextId_ = (nextId_ << 8) | static_cast<unsigned char*>(data.mv_data)[i];
    storedNextId_ = nextId_;
    return 0;
  }

  int StoreNextId(MDB_txn* txn) {
    if (nextId_ == storedNextId_) return 0;
    Id id(nextId_);
    MDB_val key = NextIdKey(), data = id.val();
    return mdb_put(txn, meta_, &key, &data, 0);
  }

  static MDB_val NextIdKey() {
    static char name[] = "nextid";
    return MDB_val{sizeof(name) - 1, name};
  }

  void Close() {
    if (!env_) return;
    mdb_env_sync(env_, 1);
    mdb_env_close(env_);
    env_ = nullptr;
  }

  // Fetch for an entry of the lazy archive-file index under `afileId`:
  // *stale when the record is gone or filed elsewhere now.
  int FetchFiled(Txn& t, Id& id, uint32_t afileId, _CacheRecord& out, bool* stale) {
    const int rc = Fetch(t, id, out);
    *stale = rc == MDB_NOTFOUND || (rc == 0 && out.archiveFileId != afileId);
    return *stale ? 0 : rc;
  }

  // Positions the record cursor on record `id` and copies the record out.
  int Fetch(Txn& t, Id& id, _CacheRecord& out) {
    MDB_val k = id.val(), d;
    const int rc = mdb_cursor_get(t.records, &k, &d, MDB_SET);
    if (rc || d.mv_size != kRecordSize) return rc ? rc : MDB_CORRUPTED;
    memcpy(&out, d.mv_data, kRecordSize);
    return 0;
  }

  // Expires the record under the record cursor: key 0 of the CRC index.
  int Expire(Txn& t, Id& id, _CacheRecord& rec) {
    BigEndian<8> oldKey(rec.crc64), zero(0);
    rec.Flags |= CACHE_FLAG_EXPIRED;
    rec.crc64 = 0;
    int rc = Rewrite(t, id, rec);
    if (!rc) rc = MoveEntry(t.crc, oldKey.val(), zero.val(), id);
    return rc ? rc : FilterKey(t, zero);
  }

  // Rewrites the record under the record cursor.
  int Rewrite(Txn& t, Id& id, _CacheRecord& rec) {
    MDB_val k = id.val(), d{kRecordSize, &rec};
    return mdb_cursor_put(t.records, &k, &d, MDB_CURRENT);
  }

  // Walks the records of crc64 key `crc` in insertion order for the first
  // one that `matches`, left in *rec (and the record cursor on it): 1 when
  // found, 0 when none matches, -1 on failure.
  template <typename Match>
  int FindRecord(Txn& t, uint64_t crc, Match matches, uint64_t* id, _CacheRecord* rec) {
    BigEndian<8> key(crc);
    MDB_val k, d;
    int rc = SeekCrc(t, key, &k, &d);
    for (; rc == 0; rc = mdb_cursor_get(t.crc, &k, &d, MDB_NEXT_DUP)) {
      Id found(d);
      if (Fetch(t, found, *rec)) return -1;
      if (!matches(*rec)) continue;
      *id = found.Value();
      return 1;
    }
    return rc == MDB_NOTFOUND ? 0 : -1;
  }

  // 1 on a hit (refreshed and re-pointed), 0 on a miss, -1 on failure.
  int QueryOne(Txn& t, const CacheRecordRef& ref) {
    uint64_t found;
    _CacheRecord rec;
    const auto isHit = [&](const _CacheRecord& r) { return IsHit(r, ref); };
    const int rc = FindRecord(t, KeyOf(ref.Signature), isHit, &found, &rec);
    if (rc <= 0) return rc;
    Id id(found);
    BigEndian<4> to(ref.archiveFileId);
    const bool moved = rec.archiveFileId != ref.archiveFileId;
    rec.LastUpdateTime = Now();
    rec.archiveFileId = ref.archiveFileId;
    if (Rewrite(t, id, rec) || (moved && AddLazyEntry(t.afile, to.val(), id))) return -1;
    return 1;
  }

  // 0, or -1 on failure. An equal live record is refreshed instead.
  int InsertOne(Txn& t, const CacheRecordRef& ref) {
    const uint32_t now = Now();
    const uint64_t crc = KeyOf(ref.Signature);
    uint64_t found;
    _CacheRecord rec;
    const auto isEqual = [&](const _CacheRecord& r) { return IsEqual(r, ref); };
    const int rc = FindRecord(t, crc, isEqual, &found, &rec);
    if (rc < 0) return -1;
    if (rc == 0) return Add(t, NewRecord(ref, crc, now));
    Id id(found);
    rec.LastUpdateTime = now;
    return Rewrite(t, id, rec) ? -1 : 0;
  }

  int Add(Txn& t, _CacheRecord rec) {
    Id id(nextId_);
    BigEndian<8> crc(rec.crc64);
    BigEndian<4> afile(rec.archiveFileId);
    MDB_val k = id.val(), d{kRecordSize, &rec}, crcKey = crc.val(), afileKey = afile.val();
    MDB_val idVal = id.val();
    int rc = mdb_cursor_put(t.records, &k, &d, MDB_APPEND);
    if (!rc) rc = mdb_cursor_put(t.crc, &crcKey, &idVal, MDB_APPENDDUP);
    if (!rc) rc = mdb_cursor_put(t.afile, &afileKey, &idVal, MDB_APPENDDUP);
    if (!rc) rc = FilterKey(t, crc);
    if (rc) return -1;
    ++nextId_;
    return 0;
  }

  std::string path_;
  MDB_env* env_ = nullptr;
  MDB_dbi meta_ = 0, records_ = 0, crcIndex_ = 0, afileIndex_ = 0;
  uint64_t nextId_ = 1, storedNextId_ = 1;
  cldb::KeyFilter crcFilter_;
};

}  // namespace

std::unique_ptr<Backend> MakeLmdbBackend() { return std::make_unique<LmdbBackend>(); }

}  // namespace bench
