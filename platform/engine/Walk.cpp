#include "platform/engine/Walk.h"

#include <string.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "platform/engine/Transactions.h"

namespace cldb {
namespace {

// How far ahead of the record cursor a record is reached by stepping.
constexpr uint64_t kStepLimit = 8;

}  // namespace

void TableWalk::Reset() {
  Begin(kNone, 0, 0);
  id_ = stamp_ = 0;
  ForgetPositions();
}

void TableWalk::ForgetPositions() {
  recordAt_ = 0;
  std::fill(std::begin(indexStamp_), std::end(indexStamp_), 0);
}

void TableWalk::Begin(Kind kind, int index, int setLength) {
  kind_ = kind;
  index_ = index;
  setLength_ = setLength;
  positioned_ = false;
  movedAhead_.clear();
  mixedKey_.clear();
  current_ = 0;
}

int TableWalk::First(Op& op, const void* key, void* out) {
  const int keyLen = schema_.keyLength(index_);
  const bool set = kind_ == kSet;
  MDB_cursor* c = op.cursors->index[index_];
  MDB_val k, d;
  int rc;
  unsigned char probe[kMaxKeyLength] = {};
  if (set && setLength_ == keyLen) {
    k = Val(key, keyLen);
    rc = mdb_cursor_get(c, &k, &d, MDB_SET);
  } else {
    memcpy(probe, key, set ? setLength_ : keyLen);
    const uint64_t from = set ? 0 : GetId(static_cast<const unsigned char*>(key) + keyLen);
    rc = SeekFrom(c, probe, keyLen, from, &k, &d);
    if (!rc && set && memcmp(k.mv_data, key, setLength_) != 0) rc = MDB_NOTFOUND;
  }
  rc = log_.Lmdb(rc);
  return rc ? rc : VisitLive(op, set, &k, &d, out);
}

int TableWalk::Continue(int index, bool inSet) {
  if (kind_ == kNone || index_ != index || (inSet && kind_ != kSet)) return TCT_NO_CURRENT;
  if (!inSet) kind_ = kOrdered;
  if (!positioned_) return TCT_NOT_FOUND;
  current_ = 0;
  return 0;
}

int TableWalk::Next(Op& op, bool inSet, void* out) {
  MDB_val k, d;
  const int rc = Advance(op, inSet, &k, &d);
  return rc ? rc : VisitLive(op, inSet, &k, &d, out);
}

int TableWalk::FetchRecord(Op& op, uint64_t id, MDB_val* data) {
  unsigned char idKey[kIdLength];
  PutId(id, idKey);
  MDB_val key = Val(idKey, sizeof(idKey));
  MDB_cursor* c = op.cursors->record;
  int rc;
  if (recordAt_ == id) {
    rc = mdb_cursor_get(c, &key, data, MDB_GET_CURRENT);
  } else if (recordAt_ != 0 && id > recordAt_ && id - recordAt_ <= kStepLimit) {
    rc = StepTo(c, id, data);
  } else {
    rc = mdb_cursor_get(c, &key, data, MDB_SET);
  }
  recordAt_ = rc ? 0 : id;
  if (rc) return log_.Lmdb(rc);
  if (data->mv_size != schema_.recordLength() + store_.sumLength())
    return log_.Corrupt("TCtreeTable", "record of bad length");
  if (store_.sumLength() && !SumHolds(idKey, data->mv_data, schema_.recordLength()))
    return log_.Corrupt("TCtreeTable", "a record fails its sum");
  return 0;
}

// Steps the record cursor forward to record `id`; MDB_NOTFOUND when it
// passes where `id` would be.
int TableWalk::StepTo(MDB_cursor* c, uint64_t id, MDB_val* data) {
  MDB_val key;
  for (;;) {
    const int rc = mdb_cursor_get(c, &key, data, MDB_NEXT);
    if (rc) return rc;
    if (key.mv_size != kIdLength) return MDB_CORRUPTED;
    const uint64_t at = GetId(key.mv_data);
    if (at >= id) return at == id ? 0 : MDB_NOTFOUND;
  }
}

// ---- positions ------------------------------------------------------------------

// (k, d) may be the walk's own position, which LMDB hands back when it was
// the probe of a seek: hence memmove.
void TableWalk::StandOn(const MDB_val& k, const MDB_val& d) {
  memmove(key_, k.mv_data, k.mv_size);
  id_ = GetId(d.mv_data);
  positioned_ = true;
}

bool TableWalk::IsWalkEntry(const MDB_val& k, const MDB_val& d) const {
  return k.mv_size == static_cast<size_t>(schema_.keyLength(index_)) && d.mv_size == kIdLength &&
         memcmp(k.mv_data, key_, k.mv_size) == 0 && GetId(d.mv_data) == id_;
}

bool TableWalk::CursorOnEntry(int index, const unsigned char* key,
                              const unsigned char* idBytes) const {
  return kind_ != kNone && index_ == index && positioned_ && stamp_ != 0 &&
         indexStamp_[index] == stamp_ && id_ == GetId(idBytes) &&
         memcmp(key_, key, schema_.keyLength(index)) == 0;
}

// Puts cursor `c` on the first entry at or after (key, id). `key` must
// outlive the use of *k: LMDB hands the probe back when the key exists.
int TableWalk::SeekFrom(MDB_cursor* c, const unsigned char* key, int keyLen, uint64_t id,
                        MDB_val* k, MDB_val* d) {
  PutId(id, seekId_);
  *k = Val(key, keyLen);
  *d = Val(seekId_, sizeof(seekId_));
  int rc = mdb_cursor_get(c, k, d, MDB_GET_BOTH_RANGE);
  if (rc != MDB_NOTFOUND) return rc;
  *k = Val(key, keyLen);
  if ((rc = mdb_cursor_get(c, k, d, MDB_SET_RANGE))) return rc;
  if (k->mv_size == static_cast<size_t>(keyLen) && memcmp(k->mv_data, key, keyLen) == 0)
    rc = mdb_cursor_get(c, k, d, MDB_NEXT_NODUP);
  return rc;
}

// ---- reading entries ------------------------------------------------------------

// Reads the record of index entry (k, d) into `out`; it becomes current
// and the walk's position. kStale for a stale entry of a lazy index.
int TableWalk::Visit(Op& op, const MDB_val& k, const MDB_val& d, void* out) {
  if (k.mv_size != static_cast<size_t>(schema_.keyLength(index_)) || d.mv_size != kIdLength)
    return log_.Corrupt("TCtreeTable", "index entry of bad size");
  const bool lazy = schema_.index(index_).lazy;
  const uint64_t id = GetId(d.mv_data);
  MDB_val data;
  int rc = FetchRecord(op, id, &data);
  if (rc == TCT_NOT_FOUND)
    return lazy ? kStale : log_.Corrupt("TCtreeTable", "index entry without its record");
  if (rc) return rc;
  if (!Bears(data, k))
    return lazy ? kStale
                : log_.Corrupt("TCtreeTable", "index entry names a record without its key");
  memcpy(out, data.mv_data, schema_.recordLength());
  StandOn(k, d);
  stamp_ = indexStamp_[index_] = ++stampSeq_;
  current_ = id;
  return 0;
}

// Visits entry (k, d), or the first entry after it that is not stale.
int TableWalk::VisitLive(Op& op, bool inSet, MDB_val* k, MDB_val* d, void* out) {
  int rc = Visit(op, *k, *d, out);
  while (rc == kStale && (rc = PassStale(op, inSet, k, d)) == 0) rc = Visit(op, *k, *d, out);
  return rc;
}

// Moves the walk's cursor to the entry after its position (the follower,
// when the record there was moved away or deleted).
int TableWalk::Advance(Op& op, bool inSet, MDB_val* k, MDB_val* d) {
  const int keyLen = schema_.keyLength(index_);
  MDB_cursor* c = op.cursors->index[index_];
  const MDB_cursor_op next = inSet && setLength_ == keyLen ? MDB_NEXT_DUP : MDB_NEXT;
  for (;;) {
    int rc;
    if (stamp_ != 0 && indexStamp_[index_] == stamp_) {
      rc = mdb_cursor_get(c, k, d, next);
    } else {
      rc = SeekFrom(c, key_, keyLen, id_, k, d);
      if (rc == 0 && IsWalkEntry(*k, *d)) rc = mdb_cursor_get(c, k, d, next);
    }
    if (rc == 0 && (k->mv_size != static_cast<size_t>(keyLen) || d->mv_size != kIdLength))
      return log_.Corrupt("TCtreeTable", "index entry of bad size");
    if (rc == 0 && inSet && memcmp(k->mv_data, key_, setLength_) != 0) rc = MDB_NOTFOUND;
    if (rc) {
      indexStamp_[index_] = 0;
      return log_.Lmdb(rc);
    }
    if (movedAhead_.empty() || !TakeMovedAhead(*k, GetId(d->mv_data))) return 0;
    StandOn(*k, *d);  // passed over: the walk now stands on it
    stamp_ = indexStamp_[index_] = ++stampSeq_;
  }
}

// Moves the walk past the stale entry (k, d) of a lazy index, onto the
// next entry. The walk stands on the stale entry meanwhile, so that
// Advance finds its follower whether or not the entry is still there; a
// walk inside a write transaction deletes it, or, when it is the first of
// its key and every entry of the key is stale, the whole key.
int TableWalk::PassStale(Op& op, bool inSet, MDB_val* k, MDB_val* d) {
  StandOn(*k, *d);
  if (!op.write) {
    stamp_ = indexStamp_[index_] = ++stampSeq_;  // the cursor stands on it
    return Advance(op, inSet, k, d);
  }
  const MDB_val walkKey = Val(key_, k->mv_size);
  const bool mixed =
      walkKey.mv_size == mixedKey_.size() && memcmp(key_, mixedKey_.data(), walkKey.mv_size) == 0;
  bool all = false;
  if (!mixed) {
    if (int rc = AllStale(op, walkKey, &all)) return rc;
    if (all) return DropKey(op, inSet, k, d);
  }
  MDB_cursor* c = op.cursors->index[index_];
  int rc = 0;
  unsigned char idBytes[kIdLength];
  PutId(id_, idBytes);
  if (!mixed) {  // AllStale moved the cursor: back onto the stale entry
    MDB_val key = Val(key_, k->mv_size), id = Val(idBytes, kIdLength);
    rc = mdb_cursor_get(c, &key, &id, MDB_GET_BOTH);
  }
  indexStamp_[index_] = 0;
  // Done or not done: only a failed delete leaves the batch half-changed.
  if (!rc && (rc = mdb_cursor_del(c, 0))) op.changing = true;
  if (rc) return log_.Lmdb(rc);
  if (op.txns) op.txns->Touched(index_ + 1);
  return Advance(op, inSet, k, d);
}

// Whether the record `data` has the key of index entry `k` in the walk's index.
bool TableWalk::Bears(const MDB_val& data, const MDB_val& k) const {
  unsigned char key[kMaxKeyLength];
  schema_.BuildKey(index_, data.mv_data, key);
  return memcmp(key, k.mv_data, k.mv_size) == 0;
}

// Whether every entry under the key of the stale entry k, on which the walk
// and its cursor stand, is stale; asked at its key's first entry, and not
// again for a key found to hold a live one. The cursor moves.
int TableWalk::AllStale(Op& op, const MDB_val& k, bool* all) {
  *all = false;
  MDB_cursor* c = op.cursors->index[index_];
  MDB_val key = k, d;
  indexStamp_[index_] = 0;  // the cursor moves
  int rc = mdb_cursor_get(c, &key, &d, MDB_FIRST_DUP);
  if (rc) return log_.Lmdb(rc);
  // Entries before a stale one were live when the walk passed them.
  const bool first = d.mv_size == kIdLength && GetId(d.mv_data) == id_;
  while (first && (rc = mdb_cursor_get(c, &key, &d, MDB_NEXT_DUP)) == 0) {
    MDB_val data;
    const int fetched = FetchRecord(op, GetId(d.mv_data), &data);
    if (fetched == TCT_NOT_FOUND || (fetched == 0 && !Bears(data, k))) continue;
    if (fetched) return fetched;
    break;  // a live entry
  }
  if (first && rc == MDB_NOTFOUND) {
    *all = true;
    return 0;
  }
  mixedKey_.assign(static_cast<const char*>(k.mv_data), k.mv_size);
  return first && rc ? log_.Lmdb(rc) : 0;
}

// Deletes every entry of the key the walk stands on (all stale), then
// moves on to the entry after them.
int TableWalk::DropKey(Op& op, bool inSet, MDB_val* k, MDB_val* d) {
  MDB_cursor* c = op.cursors->index[index_];
  MDB_val key = Val(key_, k->mv_size), data;
  indexStamp_[index_] = 0;
  int rc = mdb_cursor_get(c, &key, &data, MDB_SET);
  if (!rc && (rc = mdb_cursor_del(c, MDB_NODUPDATA))) op.changing = true;
  if (rc) return log_.Lmdb(rc);
  if (op.txns) op.txns->Touched(index_ + 1);
  return Advance(op, inSet, k, d);
}

// ---- records the walk moved ahead -----------------------------------------------

bool TableWalk::TakeMovedAhead(const MDB_val& k, uint64_t id) {
  auto it = std::find_if(movedAhead_.begin(), movedAhead_.end(), [&](const Moved& m) {
    return m.id == id && m.key.size() == k.mv_size &&
           memcmp(m.key.data(), k.mv_data, k.mv_size) == 0;
  });
  if (it == movedAhead_.end()) return false;
  *it = std::move(movedAhead_.back());
  movedAhead_.pop_back();
  return true;
}

void TableWalk::NoteMove(int index, const unsigned char* newKey) {
  if (kind_ == kNone || index_ != index || !positioned_ || id_ != current_) return;
  const int keyLen = schema_.keyLength(index);
  if (memcmp(newKey, key_, keyLen) <= 0) return;
  std::string key(reinterpret_cast<const char*>(newKey), keyLen);
  auto it = std::find_if(movedAhead_.begin(), movedAhead_.end(),
                         [&](const Moved& m) { return m.id == id_; });
  if (it == movedAhead_.end()) {
    movedAhead_.push_back(Moved{id_, std::move(key)});
  } else {
    it->key = std::move(key);  // moved twice: only the last entry is its own
  }
}

}  // namespace cldb
