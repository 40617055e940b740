// TCtreeTable: the indexed table engine under the cache table.
//
// A table holds fixed-length records and keeps up to eight indexes over them;
// an index key is made of one or more field segments, and any number of
// records may share a key. The table named "<base>" lives in the file
// "<base>.dat" next to its seal "<base>.idx" (see Durability); a table opens
// only under the schema it was created with. docs/format.md describes both
// files; platform/engine/ holds the engine's parts.
//
// Keys. fillKeySegment writes an integer segment (mode 1) as big-endian bytes,
// so keys compare as unsigned numbers; a bytes segment (mode 0) is copied as
// it stands and compares byte by byte. Every key names a set of records, kept
// in insertion order; a position inside the index is the key followed by the
// 8-byte big-endian record id (ids only grow). finishKey pads that position:
// lowest (zeros) or highest (0xff). firstInSet reads the first `setLength`
// bytes of its key buffer (at most the key length); getGTERecord reads the
// key and its 8 position bytes, so its buffer is key length + 8 bytes long.
//
// Current record and position. Every successful read copies the record into
// the caller's buffer and makes it the table's current record; modifyRecord
// and deleteRecord act on it, and a failed read leaves no current record
// (addRecord leaves it as it was). A walk (firstInSet/nextInSet over one set,
// getGTERecord/nextRecord in index order, which nextRecord may also continue
// after a set walk) remembers the position of the record it read last. When
// that record was rewritten to another key or deleted, the next step goes on
// with the entry that followed it: no record is skipped and none is visited
// twice. A record that the walk itself rewrote to a key further ahead in the
// walk's order is passed over when the walk meets it again. Records added
// during a walk are met when they land ahead of it.
//
// Lazy indexes. An index whose key changes on most rewrites (a record that
// moves between keys at every use) may be declared lazy: a rewrite that
// moves the record adds its entry under the new key and leaves the old one
// where it was. Such a leftover entry is stale: the record it names no
// longer has that key, or no longer exists. Every read through the index
// checks the record's key against the entry and passes stale entries over,
// so reads see exactly what an eager index would show; a walk in the
// group's transaction (inside a batch, or while changes are pending) also
// deletes the stale entries it passes -- a key whose entries are all stale
// in one deletion -- and ReBuildIndex drops them all. A rewrite thus costs an append at the new key
// instead of a delete at a random place in the index, and the leftovers of one key go together, in
// one sweep, when that key is next walked. A lazy index holds at least one entry per record; an
// eager one exactly one.
//
// Transactions. Every change joins the session's group: one LMDB write
// transaction that batches, and changes made outside any batch, share until
// it commits -- when the pages it may have made dirty pass 64 MiB, when a
// batch ends and the group is two seconds old, when a thread other than the
// one that began it takes the table, on CommitPending, and at close. While a
// group is pending every read goes through it; otherwise reads renew a
// read-only transaction. Inside a batch the engine keeps its cursors, and a
// walk step is a single cursor move unless a change could have moved the
// entry under it. If a change fails half-done, the batch is spoilt: EndBatch
// then discards the group and returns that failure; EndBatch(false) discards
// it too. The batches that ended before in the same group go with it: a
// session's changes are durable only at its clean close (see Durability).
//
// Threads and files. A table object is used by one thread at a time (its
// owner serialises calls, and hands the table from thread to thread with a
// happens-before); a batch begins and ends on one thread. Within a process a
// table file is used by at most one table object at a time (create, open,
// MakeCompact and ReBuildIndex fail with TCT_BUSY otherwise). Across
// processes, a session for changes holds an exclusive lock on the file, a
// read-only one a shared lock; an open that cannot take it fails with
// TCT_BUSY. LMDB keeps no lock file.
//
// Durability and damaged files. A table is trusted only as a clean close left
// it. close() commits, closes LMDB, syncs the file and seals it: the seal
// names the file by device, inode, length and times, fingerprints its head
// pages (both meta pages and the main database's root), and names the
// schema and the kind of machine. MakeCompact, ReBuildIndex when it changes
// the file, and SealAsCopyOf seal their result the same way. open (and the
// maintenance calls) check the seal in constant time before LMDB maps the
// file and refuse the table with TCT_CORRUPT and a logged reason when the
// seal is missing ("not closed cleanly"), unreadable, from another kind of
// machine, or names another file, length, time or head. An open for
// changes then removes the seal, durably, before LMDB reads a page, so
// that whatever follows -- a change, a failure, a crash -- leaves the table
// refused until a clean end seals it again; a read-only open keeps it. A
// session whose last commit failed, or that met damage, ends unsealed. The
// engine does not sync commits while open. Damage at rest, which moves no
// file time, is caught where it is read: every record carries a sum of its
// id and bytes, and every index entry must name a record that bears its
// key; a read that meets damage fails with TCT_CORRUPT (logged), never
// answers. Tables of the first format (records without sums, a seal naming
// the whole file's CRC-64) are checked by their content and rewritten in the
// present format by their first session for changes. docs/format.md gives
// the formats and what a damaged file can and cannot do.
//
// Results: 0 success; otherwise an engine code (positive, see errToString).
// After a failed read, noRecordFound() tells whether it failed only for lack
// of a record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "cldb/Export.h"

namespace ZelIndexing {
// kReadOnly opens the file read-only; changes then fail with TCT_READ_ONLY.
enum TAccessEnum { kReadOnly = 0, kReadWrite = 1 };
}  // namespace ZelIndexing
// Key type of an index; 0 (fixed-length key) is the one the engine knows.
typedef int TKeyType;

// Engine codes.
enum TCtreeError {
  TCT_OK = 0,
  TCT_NOT_FOUND = 101,        // no (further) record
  TCT_NO_CURRENT = 102,       // modify/delete without a current record; step without a walk
  TCT_NOT_OPEN = 103,         // operation on a table that is not open
  TCT_ALREADY_OPEN = 104,     // open/create twice, or maintenance on an open table
  TCT_SCHEMA = 105,           // schema declaration invalid or incomplete
  TCT_SCHEMA_MISMATCH = 106,  // file's stored schema differs from the declared one
  TCT_EXISTS = 107,           // create on an existing table
  TCT_NO_FILE = 108,          // open on a missing table
  TCT_CORRUPT = 109,          // damaged, truncated, foreign or unsealed file; indexes out of step
  TCT_BAD_KEY = 110,          // key build error, bad set length
  TCT_IO = 111,               // file system error
  TCT_BATCH = 112,            // batch misuse (nested, none open)
  TCT_LMDB = 113,             // other LMDB error (text via errToString)
  TCT_READ_ONLY = 114,        // change on a table opened with kReadOnly
  TCT_ARGUMENT = 115,         // null buffer, unknown index number
  TCT_BUSY = 116,             // the file is in use by another table object of this process
};

class TDebuggable {
 public:
  virtual ~TDebuggable();
  // The engine's own log; writes through the default EvDebug destination.
  virtual void debug(int level, const char* format, ...) CLDB_PRINTF(3, 4);
};

class TCtreeTable : public TDebuggable {
 public:
  TCtreeTable();
  ~TCtreeTable() override;  // closes the table when open
  TCtreeTable(const TCtreeTable&) = delete;
  TCtreeTable& operator=(const TCtreeTable&) = delete;

  // ---- schema declaration -------------------------------------------------
  // Starts a declaration (dropping any earlier one): the table's base name, a
  // reserved value, the number of fields, indexes and key segments to come,
  // and the record length (given twice: fixed length and maximum length,
  // which must be equal). Not on an open table.
  virtual int internalInitialize(const char* fileName, unsigned int reserved,
                                 unsigned int fieldCount, unsigned int indexCount,
                                 unsigned int segmentCount, unsigned int recordLength,
                                 unsigned int maxRecordLength);
  // Field type codes (0..255) are stored with the schema, not interpreted.
  int setNextField(const char* name, unsigned long offset, short typeCode, short length);
  // name, key length, key type (0), duplicates allowed (must be 1), two
  // reserved values, segment count, index number (0, 1, ... in order).
  int setNextIndex(const char* name, short keyLength, TKeyType keyType, short duplicates,
                   short reserved1, short reserved2, short segmentCount, short indexNumber);
  // Declares the next key segment; segments fill the declared indexes in
  // order (all of index 0's, then index 1's, ...). Mode 1: the whole field,
  // a little-endian unsigned integer of 1, 2, 4 or 8 bytes; mode 0: the
  // first `length` bytes of the field as they stand.
  int setNextSegment(short fieldNumber, short length, char mode);
  // Checks the declaration (counts as announced, segment lengths adding up
  // to each key length); then calls registerTable() and the version hooks.
  int initializeComplete();
  // Declares index `indexNumber` (already declared, table not open) as one
  // whose entries are cleared lazily; see "Lazy indexes" above. Not part of
  // the stored schema: a table written with stale entries opens only under
  // a declaration that allows them. TCT_ARGUMENT for an unknown index.
  int setLazyIndex(int indexNumber);
  // Declares index `indexNumber` filtered: while the table is open, the
  // engine keeps a Bloom filter of the index's keys in memory (about 1.5
  // bytes per key, up to 3 right after a rebuild), so that firstInSet with
  // a whole key that the index does not hold usually answers TCT_NOT_FOUND
  // without reading the file. The filter is kept in the file: read at open,
  // its changed parts written at close (built from the index when missing
  // or failing its check); it grows as keys are added; keys that leave the
  // index stay in it, which costs only a wasted lookup. Same conditions and
  // results as setLazyIndex.
  int setFilteredIndex(int indexNumber);

  // Class-wide node size and per-table buffer count: kept as tuning values
  // (reported by getnodeSize/bufferCount; LMDB sizes its own pages and
  // buffers, so the file and index buffer counts are not kept).
  static void setnodeSize(int nodeSize);
  static int getnodeSize();
  void internalRegisterTable(short bufferCount, short fileCount, short indexBufferCount);
  short bufferCount() const;

  // ---- hooks the engine calls on the table --------------------------------
  // initializeComplete calls registerTable, then adjustTableVersion and
  // processTableVersionExternal with the engine's table version (1), then
  // processIndexVersionExternal with its index version. The two versions
  // that result are part of the stored schema.
  virtual void registerTable();
  virtual const char* getTableType();
  // Asked at create and open: 1 lets the file grow to 1 TiB; 0 caps it at 2 GiB.
  virtual int createHugeFile();
  virtual int adjustTableVersion(const char* fileName, int& version);
  virtual int processTableVersionExternal(int& version);
  virtual int processIndexVersionExternal(int& version);  // sets index version 3
  int indexVersion() const;

  // ---- lifecycle ------------------------------------------------------------
  // Creates "<base>.dat" (TCT_EXISTS when it exists), drops a seal left by
  // an earlier table of that name, and leaves the new table open.
  int create();
  // Fails with TCT_NO_FILE when the file is missing, TCT_CORRUPT (reason
  // logged) when it is a link, empty or not a regular file, its seal does
  // not vouch for it (see Durability), or it is truncated (a page LMDB may
  // read lies past its end), foreign, lacks the table's sub-databases or its
  // index entry counts differ from the record count (fall short of it, for
  // a lazy index); TCT_SCHEMA_MISMATCH under another schema; TCT_BUSY when
  // another session holds it (see Threads and files). A refusal by the seal
  // or the schema leaves the file and its seal as they were; kReadWrite
  // removes the seal once the seal vouched for the file, so a failure after
  // that leaves the table refused.
  virtual int open(ZelIndexing::TAccessEnum access);
  // Discards an open batch (with its group), commits what is pending, syncs,
  // closes and (unless read-only) seals; 0 when not open. On failure the
  // table is closed all the same, but unsealed: when the last commit
  // failed, when the session met damage (TCT_CORRUPT), and when another
  // file than the one opened stands at the table's path by then (the folder
  // was made anew; TCT_CORRUPT, logged).
  int close();
  bool isOpen() const;
  long long getRecordCount();  // -1 when not open or on error

  // ---- keys -----------------------------------------------------------------
  // Appends `indexNumber`'s segment `segment` for `value` (the field's bytes
  // as stored in the record) at *cursor, advancing it and lowering *left.
  // Returns the key bytes written, or a negative value when the key does not
  // fit or the index or segment is unknown.
  int fillKeySegment(char** cursor, int* left, const void* value, int segment, int indexNumber,
                     int reserved);
  // Pads the *left bytes that remain: zeros when `lowest` is non-zero (the
  // lowest position for that key), 0xff otherwise. Returns the bytes padded.
  int finishKey(char** cursor, int* left, int lowest, int reserved);

  // ---- reads (into `record`, which becomes the current record) ------------
  virtual int firstInSet(int indexNumber, void* key, void* record, int setLength);
  virtual int nextInSet(int indexNumber, void* record);
  virtual int getGTERecord(int indexNumber, void* key, void* record);
  virtual int nextRecord(int indexNumber, void* record);
  int noRecordFound();
  const char* errToString(int code);  // valid until the next call

  // ---- changes ------------------------------------------------------------------
  int addRecord(void* record);     // adds; every index updated
  int modifyRecord(void* record);  // rewrites the current record; moved keys re-indexed
  int deleteRecord();              // deletes the current record

  // ---- batches ----------------------------------------------------------------
  int BeginBatch();
  int EndBatch(bool commit = true);
  bool InBatch() const;
  // Commits the changes that ended batches (and changes outside a batch)
  // left pending; 0 when there are none. Not inside a batch (TCT_BATCH).
  int CommitPending();

  // ---- maintenance (on a defined, sealed table that is not open) -----------
  // Both check the seal as open does (TCT_CORRUPT when it does not vouch for
  // the file) and leave a sealed table behind.
  // Compacting copy of the file (free pages dropped) to "<base>.dat.compact"
  // in the same folder, atomic rename over "<base>.dat", new seal (which
  // syncs the file, and whose folder sync also makes the rename durable). A
  // table whose indexes are out of step is still compacted.
  int MakeCompact();
  // In one transaction, brings every index into agreement with the records
  // by LMDB's counts (the seal vouches that the engine wrote the file): an
  // index that is missing, or does not hold as many entries as records (a
  // lazy one with stale entries), is rebuilt from the records, sorted and
  // appended (memory: key length + 8 bytes per record); one that agrees is
  // kept as it is (so a freshly compacted file stays compact). When every
  // index agrees, the file and its seal are left untouched.
  int ReBuildIndex();
  // Seals this (defined, not open) table's file, a byte-for-byte copy of
  // the sealed table "<sourceBase>" (a folder copied elsewhere): the source
  // is checked, compared with the copy and checked again, then the copy
  // gets a seal of its own. A copy is otherwise refused (its seal names the
  // file it was made from). TCT_CORRUPT (logged) when the source does not
  // vouch for the copy.
  int SealAsCopyOf(const char* sourceBase);

  const std::string& dataFileName() const;  // "<base>.dat"

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

namespace cldb {

// RAII batch: begins in the constructor, ends in Commit() (its changes join
// the group) or discards the group when destroyed without it. A batch that
// could not begin (status() non-zero; nested, or read-only) ends nothing,
// so Commit has nothing to do and returns 0.
class TCtreeBatch {
 public:
  explicit TCtreeBatch(TCtreeTable& table) : table_(table), rc_(table.BeginBatch()) {}
  ~TCtreeBatch() {
    if (rc_ == 0 && !done_) table_.EndBatch(false);
  }
  int status() const { return rc_; }
  int Commit() {
    done_ = true;
    return rc_ == 0 ? table_.EndBatch(true) : 0;
  }
  TCtreeBatch(const TCtreeBatch&) = delete;
  TCtreeBatch& operator=(const TCtreeBatch&) = delete;

 private:
  TCtreeTable& table_;
  int rc_;
  bool done_ = false;
};

}  // namespace cldb
