// TableWalk: the table's current record and its walk through one index,
// with the positions of the cursors that serve it.
//
// A walk (a set walk over one key, or an ordered walk in index order)
// remembers the position -- key and record id -- of the entry it read
// last. Its next step goes on from that position, so a record rewritten to
// another key or deleted under it is no obstacle: the step lands on the
// entry that followed it. A record that the walk itself rewrote to a key
// further ahead is noted and passed over when met again; a stale entry of a
// lazy index is passed over too, and deleted when the walk runs in a write
// transaction (a key whose entries are all stale goes in one deletion).
//
// What a walk reads is checked: every record against its sum (Format.h), and
// every index entry against the key its record gives. An entry of an eager
// index that its record does not bear, or a record that fails its sum, is
// damage (TCT_CORRUPT, logged), never an answer.
//
// Cursor positions are only trusted while their txn lives and nothing else
// moved them: the record cursor is known to sit on record `recordAt_`, and
// index cursor n still sits where the walk left it when indexStamp_[n]
// equals the walk's stamp. Whoever moves a cursor says so (RecordCursorAt,
// IndexCursorMoved, ForgetPositions), and a step then seeks its place anew.
#pragma once

#include <lmdb.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/engine/EngineLog.h"
#include "platform/engine/Format.h"
#include "platform/engine/Schema.h"
#include "platform/engine/Store.h"

namespace cldb {

class TableWalk {
 public:
  enum Kind { kNone, kSet, kOrdered };

  TableWalk(const TableSchema& schema, EngineLog& log, const Store& store)
      : schema_(schema), log_(log), store_(store) {}

  // No walk, no current record, no trusted position.
  void Reset();
  void ForgetPositions();

  // Starts a walk of `kind` on `index` (over the first `setLength` bytes of
  // the key, for a set walk); no record is current until First reads one.
  void Begin(Kind kind, int index, int setLength);
  // Reads the walk's first record into `out`: at the key (a set walk; `key`
  // holds the key length) or at or after the position (an ordered walk;
  // key length + 8 bytes).
  int First(Op& op, const void* key, void* out);
  // Whether a step on `index` continues this walk: 0, TCT_NO_CURRENT (no
  // such walk) or TCT_NOT_FOUND (it ended). A step without `inSet` turns
  // the walk into an ordered one.
  int Continue(int index, bool inSet);
  // Reads the record after the walk's position into `out`.
  int Next(Op& op, bool inSet, void* out);

  uint64_t current() const { return current_; }  // 0: none
  void ClearCurrent() { current_ = 0; }

  // Positions the record cursor on record `id`, reading it into *data (the
  // record, its sum checked). A record just after the cursor's is reached
  // by stepping, not by a search from the root.
  int FetchRecord(Op& op, uint64_t id, MDB_val* data);
  void RecordCursorAt(uint64_t id) { recordAt_ = id; }  // 0: unknown
  void IndexCursorMoved(int index) { indexStamp_[index] = 0; }
  // Whether index cursor `index` still stands on the walk's entry and that
  // entry is (key, id).
  bool CursorOnEntry(int index, const unsigned char* key, const unsigned char* idBytes) const;
  // The current record got `newKey` in `index`: when that is the walk's
  // index and the key lies ahead of the walk, the walk would meet the
  // record a second time; it is noted, to be passed over.
  void NoteMove(int index, const unsigned char* newKey);

 private:
  // Entries this walk gave its records under keys ahead of it.
  struct Moved {
    uint64_t id;
    std::string key;
  };
  // What Visit makes of an entry of a lazy index whose record no longer
  // has the entry's key (or no longer exists).
  static constexpr int kStale = -1;

  int Visit(Op& op, const MDB_val& k, const MDB_val& d, void* out);
  int VisitLive(Op& op, bool inSet, MDB_val* k, MDB_val* d, void* out);
  int SeekFrom(MDB_cursor* c, const unsigned char* key, int keyLen, uint64_t id, MDB_val* k,
               MDB_val* d);
  int Advance(Op& op, bool inSet, MDB_val* k, MDB_val* d);
  int PassStale(Op& op, bool inSet, MDB_val* k, MDB_val* d);
  bool Bears(const MDB_val& data, const MDB_val& k) const;
  int AllStale(Op& op, const MDB_val& k, bool* all);
  int DropKey(Op& op, bool inSet, MDB_val* k, MDB_val* d);
  int StepTo(MDB_cursor* c, uint64_t id, MDB_val* data);
  void StandOn(const MDB_val& k, const MDB_val& d);
  bool IsWalkEntry(const MDB_val& k, const MDB_val& d) const;
  bool TakeMovedAhead(const MDB_val& k, uint64_t id);

  const TableSchema& schema_;
  EngineLog& log_;
  const Store& store_;

  Kind kind_ = kNone;
  int index_ = 0;
  int setLength_ = 0;
  bool positioned_ = false;  // key_/id_ name the entry read last
  unsigned char key_[kMaxKeyLength] = {};
  uint64_t id_ = 0;
  uint64_t stamp_ = 0;
  std::vector<Moved> movedAhead_;
  std::string mixedKey_;  // a key of this walk known to hold live entries
  uint64_t current_ = 0;

  uint64_t recordAt_ = 0;
  uint64_t indexStamp_[kMaxIndexes] = {};
  uint64_t stampSeq_ = 0;
  unsigned char seekId_[kIdLength] = {};  // SeekFrom's probe, which LMDB may hand back
};

}  // namespace cldb
