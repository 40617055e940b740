// TCtreeTable: sessions, transactions and changes, on the engine's parts in
// platform/engine/:
//   Schema       the declaration, its keys and its stored text
//   Seal         the seal file and the claims on table files
//   Store        the LMDB environment of a table file: making, opening, checking
//   FreePages    pages past the end of a table file (read without the map)
//   Walk         the current record, walks and cursor positions
//   Transactions the read txn, the group of changes, batches
//   FilterStore  the key filters kept in the file
//   LmdbLayout   an LMDB file read without LMDB (the seal, the free pages)
//   Maintenance  MakeCompact, ReBuildIndex, copies and the upgrade of old files
//   EngineLog    engine codes and the log
// docs/format.md describes the files.
#include "platform/TCtreeTable.h"

#include <stdarg.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "platform/EvDebug.h"
#include "platform/KeyFilter.h"
#include "platform/engine/EngineLog.h"
#include "platform/engine/FilterStore.h"
#include "platform/engine/Maintenance.h"
#include "platform/engine/Schema.h"
#include "platform/engine/Seal.h"
#include "platform/engine/Store.h"
#include "platform/engine/Transactions.h"
#include "platform/engine/Walk.h"

using cldb::Cursors;
using cldb::kIdLength;
using cldb::kMaxIndexes;
using cldb::kMaxKeyLength;
using cldb::Op;
using cldb::TableWalk;

namespace {

// A key filter starts with room for twice the keys of its index, and never
// for fewer than this.
constexpr size_t kMinFilterKeys = size_t{1} << 16;

std::atomic<int> gNodeSize{0};

}  // namespace

// ---- TDebuggable ---------------------------------------------------------------

TDebuggable::~TDebuggable() = default;

void TDebuggable::debug(int level, const char* format, ...) {
  static EvDebug log;
  va_list args;
  va_start(args, format);
  log.vdebugLvl(level, nullptr, nullptr, format, args);
  va_end(args);
}

// ---- the engine ------------------------------------------------------------------

struct TCtreeTable::Impl {
  explicit Impl(TCtreeTable& owner)
      : owner_(owner),
        schema_(owner),
        log_(owner, schema_.dataFile()),
        seal_(log_, schema_.baseName(), schema_),
        store_(log_, schema_),
        walk_(schema_, log_, store_),
        txns_(store_, log_, walk_, schema_) {}

  TCtreeTable& owner_;
  cldb::TableSchema schema_;
  cldb::EngineLog log_;
  cldb::TableSeal seal_;
  cldb::Store store_;  // open while the table is
  TableWalk walk_;
  cldb::Transactions txns_;
  short bufferCount_ = 0;

  // The session, while open.
  bool readOnly_ = false;
  cldb::KeyFilter filters_[kMaxIndexes];  // of the filtered indexes
  std::vector<unsigned char> value_;      // a record as stored: the record, then its sum
  std::string lastPut_[kMaxIndexes];      // the key of each index's latest entry
  int lastReadRc_ = 0;

  int indexCount() const { return schema_.indexCount(); }
  bool huge() { return owner_.createHugeFile() != 0; }
  cldb::TableMaintenance Maintenance() {
    return cldb::TableMaintenance(schema_, log_, seal_, huge());
  }

  // ---- lifecycle ------------------------------------------------------------------

  int Create() {
    static const char kName[] = "TCtreeTable::create";
    if (!schema_.complete()) return schema_.Error(kName, "declaration incomplete");
    if (store_.open()) return TCT_ALREADY_OPEN;
    const int rc = store_.Create(&seal_, huge(), kName);
    return rc ? rc : StartSession(false, kName);
  }

  // A table of the first format that is opened for changes is rewritten in
  // the present one first.
  int Open(ZelIndexing::TAccessEnum access) {
    static const char kName[] = "TCtreeTable::open";
    if (!schema_.complete()) return schema_.Error(kName, "declaration incomplete");
    if (store_.open()) return TCT_ALREADY_OPEN;
    if (access != ZelIndexing::kReadOnly && access != ZelIndexing::kReadWrite) return TCT_ARGUMENT;
    const bool readOnly = access == ZelIndexing::kReadOnly;
    int rc = store_.OpenExisting(seal_, cldb::Purpose::kUse, readOnly, huge(), kName);
    if (!rc && !readOnly && store_.format() != cldb::kFileFormat) {
      rc = Maintenance().Upgrade(store_, kName);
      if (!rc) rc = store_.OpenExisting(seal_, cldb::Purpose::kUse, false, huge(), kName);
    }
    return rc ? rc : StartSession(readOnly, kName);
  }

  int StartSession(bool readOnly, const char* name) {
    readOnly_ = readOnly;
    log_.ForgetDamage();
    value_.assign(schema_.recordLength() + cldb::kSumLength, 0);
    walk_.Reset();
    lastReadRc_ = 0;
    int rc = txns_.Start(readOnly, name);
    if (!rc) rc = LoadFilters(name);
    if (!rc) return 0;
    txns_.Stop();
    store_.Close();  // unsealed, when it was opened for changes
    return rc;
  }

  // A session that may have changed the file commits what is pending, with
  // its filters, and seals the file. When its last commit failed, or it met
  // damage, the file stays unsealed: refused, so that its owner makes it
  // anew rather than meet the damage again.
  int Close() {
    static const char kName[] = "TCtreeTable::close";
    if (!store_.open()) return 0;
    if (txns_.inBatch()) {
      owner_.debug(1, "%s: %s closed inside a batch; its changes are discarded", kName,
                   schema_.dataFile().c_str());
      txns_.Abort();
    }
    int rc = 0;
    if (!readOnly_) {
      std::function<int(MDB_txn*)> last;
      if (FiltersChanged()) last = [this](MDB_txn* txn) { return StoreFilters(txn); };
      rc = txns_.Commit(last, kName);
      if (!rc && txns_.lastCommitFailed()) rc = TCT_LMDB;
      if (!rc && log_.damageSeen()) {
        owner_.debug(-1, "%s: [ERROR] %s: damage was found; the table is left unsealed", kName,
                     schema_.dataFile().c_str());
        rc = TCT_CORRUPT;
      }
    }
    txns_.Stop();
    if (readOnly_ || rc) {
      store_.Close();
    } else {
      rc = store_.CloseAndSeal(seal_, kName);
    }
    walk_.Reset();
    for (cldb::KeyFilter& filter : filters_) filter.Clear();
    for (std::string& key : lastPut_) key.clear();
    return rc;
  }

  // ---- key filters --------------------------------------------------------------

  // Each filtered index's filter, as the file stores it, or (when it does
  // not, or the stored one fails its checks) built from the index.
  int LoadFilters(const char* name) {
    MDB_txn* txn = txns_.readTxn();
    for (int i = 0; i < indexCount(); ++i) {
      if (!schema_.index(i).filtered) continue;
      int rc = mdb_txn_renew(txn);
      if (rc) return log_.Report(name, log_.Lmdb(rc));
      if (!cldb::LoadFilter(txn, store_.meta(), i, &filters_[i])) BuildFilter(txn, i);
      mdb_txn_reset(txn);
    }
    return 0;
  }

  // (Re)fills index `i`'s filter with every key the index holds in `txn`.
  // The filter only saves work: should the scan fail, it is dropped (and
  // then answers "maybe" to every key) and the failure logged.
  void BuildFilter(MDB_txn* txn, int i) {
    static const char kName[] = "TCtreeTable::BuildFilter";
    cldb::KeyFilter& filter = filters_[i];
    MDB_stat st;
    MDB_cursor* c;
    int rc = mdb_stat(txn, store_.index(i), &st);
    if (!rc) rc = mdb_cursor_open(txn, store_.index(i), &c);
    if (!rc) {
      filter.Reset(std::max<size_t>(2 * st.ms_entries, kMinFilterKeys));
      MDB_val k, d;
      for (rc = mdb_cursor_get(c, &k, &d, MDB_FIRST); rc == 0;
           rc = mdb_cursor_get(c, &k, &d, MDB_NEXT_NODUP))
        filter.Add(k.mv_data, k.mv_size);
      mdb_cursor_close(c);
    }
    if (rc == MDB_NOTFOUND) return;
    filter.Clear();
    log_.Report(kName, log_.Lmdb(rc));
  }

  bool FiltersChanged() const {
    for (int i = 0; i < indexCount(); ++i)
      for (size_t c = 0; schema_.index(i).filtered && c < filters_[i].chunkCount(); ++c)
        if (filters_[i].chunkDirty(c)) return true;
    return false;
  }

  int StoreFilters(MDB_txn* txn) {
    int rc = 0;
    for (int i = 0; rc == 0 && i < indexCount(); ++i)
      if (schema_.index(i).filtered && filters_[i].blockCount())
        rc = cldb::StoreFilter(txn, store_.meta(), i, &filters_[i]);
    return rc;
  }

  // ---- reads ------------------------------------------------------------------------

  int CheckIndex(int index, const void* buffer) const {
    if (!store_.open()) return TCT_NOT_OPEN;
    if (index < 0 || index >= indexCount() || !buffer) return TCT_ARGUMENT;
    return 0;
  }

  int FinishRead(int rc) {
    lastReadRc_ = rc;
    if (rc) walk_.ClearCurrent();
    return rc;
  }

  // firstInSet (set walk) and getGTERecord (ordered walk).
  int StartWalk(TableWalk::Kind kind, int index, const void* key, void* out, int setLength,
                const char* name) {
    int rc = CheckIndex(index, out);
    if (!rc && !key) rc = TCT_ARGUMENT;
    const int keyLen = rc ? 0 : schema_.keyLength(index);
    if (!rc && kind == TableWalk::kSet && (setLength <= 0 || setLength > keyLen)) rc = TCT_BAD_KEY;
    if (rc) return FinishRead(rc);
    walk_.Begin(kind, index, setLength);
    if (kind == TableWalk::kSet && setLength == keyLen && schema_.index(index).filtered &&
        !filters_[index].MayContain(key, keyLen))
      return FinishRead(TCT_NOT_FOUND);  // surely absent: no transaction, no descent
    Op op;
    if ((rc = txns_.Begin(op, false))) return FinishRead(log_.Report(name, rc));
    rc = walk_.First(op, key, out);
    return FinishRead(txns_.End(op, rc, name));
  }

  // nextInSet (inSet) and nextRecord.
  int Step(int index, bool inSet, void* out, const char* name) {
    int rc = CheckIndex(index, out);
    if (!rc) rc = walk_.Continue(index, inSet);
    if (rc) return FinishRead(rc);
    Op op;
    if ((rc = txns_.Begin(op, false))) return FinishRead(log_.Report(name, rc));
    rc = walk_.Next(op, inSet, out);
    return FinishRead(txns_.End(op, rc, name));
  }

  long long RecordCount() {
    Op op;
    if (txns_.Begin(op, false)) return -1;
    MDB_stat st;
    const int rc = txns_.End(op, log_.Lmdb(mdb_stat(op.txn, store_.records(), &st)),
                             "TCtreeTable::getRecordCount");
    return rc ? -1 : static_cast<long long>(st.ms_entries);
  }

  // ---- changes ------------------------------------------------------------------------

  // The record as the file stores it (with its sum).
  MDB_val Stored(const unsigned char* idBytes, const void* record) {
    const size_t length = schema_.recordLength();
    memcpy(value_.data(), record, length);
    if (store_.sumLength()) cldb::PutSum(idBytes, value_.data(), length, value_.data() + length);
    return cldb::Val(value_.data(), length + store_.sumLength());
  }

  // Deleting the record a walk stands on (clean-up deletes every record of
  // its walk) needs no search for the walk's own entry.
  int DeleteEntry(Op& op, int index, const unsigned char* key, const unsigned char* idBytes) {
    MDB_cursor* c = op.cursors->index[index];
    MDB_val k = cldb::Val(key, schema_.keyLength(index)), d = cldb::Val(idBytes, kIdLength);
    const bool there = walk_.CursorOnEntry(index, key, idBytes);
    walk_.IndexCursorMoved(index);
    txns_.Touched(index + 1);
    int rc = there ? 0 : mdb_cursor_get(c, &k, &d, MDB_GET_BOTH);
    if (rc == MDB_NOTFOUND)
      return log_.Corrupt("TCtreeTable", "index lacks an entry of its record");
    if (!rc) rc = mdb_cursor_del(c, 0);
    return log_.Lmdb(rc);
  }

  // A lazy index may still hold the entry from the record's earlier stay at
  // that key; an eager one holding it is damaged. Entries put under the key
  // of the entry put before them land together (the hits and inserts of a
  // job under its archive file).
  int PutEntry(Op& op, int index, const unsigned char* key, const unsigned char* idBytes,
               unsigned flags) {
    const cldb::IndexDef& def = schema_.index(index);
    MDB_val k = cldb::Val(key, def.keyLength), d = cldb::Val(idBytes, kIdLength);
    walk_.IndexCursorMoved(index);
    std::string& last = lastPut_[index];
    if (last.size() == k.mv_size && memcmp(last.data(), key, k.mv_size) == 0) {
      txns_.Appended(index + 1, def.keyLength + 2 * kIdLength);
    } else {
      txns_.Touched(index + 1);
      last.assign(reinterpret_cast<const char*>(key), k.mv_size);
    }
    const int rc = mdb_cursor_put(op.cursors->index[index], &k, &d, flags | MDB_NODUPDATA);
    if (def.filtered && (rc == 0 || rc == MDB_KEYEXIST)) {
      cldb::KeyFilter& filter = filters_[index];
      filter.Add(key, k.mv_size);
      if (filter.full()) BuildFilter(op.txn, index);  // twice the size: amortised
    }
    if (rc == MDB_KEYEXIST) return def.lazy ? 0 : log_.Corrupt("TCtreeTable", "index entry twice");
    return log_.Lmdb(rc);
  }

  int Add(const void* record) {
    static const char kName[] = "TCtreeTable::addRecord";
    if (!record) return store_.open() ? TCT_ARGUMENT : TCT_NOT_OPEN;
    Op op;
    int rc = txns_.Begin(op, true);
    if (rc) return log_.Report(kName, rc);
    const uint64_t id = store_.nextId();
    unsigned char idBytes[kIdLength];
    cldb::PutId(id, idBytes);
    MDB_val k = cldb::Val(idBytes, sizeof(idBytes)), d = Stored(idBytes, record);
    op.changing = true;
    rc = log_.Lmdb(mdb_cursor_put(op.cursors->record, &k, &d, MDB_APPEND));
    txns_.Appended(0, d.mv_size + 2 * kIdLength);
    walk_.RecordCursorAt(rc ? 0 : id);
    unsigned char key[kMaxKeyLength];
    for (int i = 0; rc == 0 && i < indexCount(); ++i) {
      schema_.BuildKey(i, record, key);
      rc = PutEntry(op, i, key, idBytes, MDB_APPENDDUP);
    }
    if (!rc) store_.TakeId();
    return txns_.End(op, rc, kName);
  }

  // Positions the record cursor on the current record.
  int FetchCurrent(Op& op, MDB_val* data) {
    if (!walk_.current()) return TCT_NO_CURRENT;
    const int rc = walk_.FetchRecord(op, walk_.current(), data);
    return rc == TCT_NOT_FOUND ? TCT_NO_CURRENT : rc;
  }

  int Modify(const void* record) {
    static const char kName[] = "TCtreeTable::modifyRecord";
    if (!record) return store_.open() ? TCT_ARGUMENT : TCT_NOT_OPEN;
    Op op;
    int rc = txns_.Begin(op, true);
    if (rc) return log_.Report(kName, rc);
    MDB_val old;
    if ((rc = FetchCurrent(op, &old)) || memcmp(old.mv_data, record, schema_.recordLength()) == 0)
      return txns_.End(op, rc, kName);
    unsigned char idBytes[kIdLength];
    cldb::PutId(walk_.current(), idBytes);
    unsigned char oldKeys[kMaxIndexes][kMaxKeyLength], newKeys[kMaxIndexes][kMaxKeyLength];
    bool moved[kMaxIndexes] = {};
    for (int i = 0; i < indexCount(); ++i) {
      schema_.BuildKey(i, old.mv_data, oldKeys[i]);
      schema_.BuildKey(i, record, newKeys[i]);
      moved[i] = memcmp(oldKeys[i], newKeys[i], schema_.keyLength(i)) != 0;
    }
    op.changing = true;
    for (int i = 0; rc == 0 && i < indexCount(); ++i)
      if (moved[i] && !schema_.index(i).lazy) rc = DeleteEntry(op, i, oldKeys[i], idBytes);
    MDB_val k = cldb::Val(idBytes, sizeof(idBytes)), d = Stored(idBytes, record);
    txns_.Touched(0);
    if (!rc) rc = log_.Lmdb(mdb_cursor_put(op.cursors->record, &k, &d, MDB_CURRENT));
    for (int i = 0; rc == 0 && i < indexCount(); ++i) {
      if (!moved[i]) continue;
      rc = PutEntry(op, i, newKeys[i], idBytes, 0);
      walk_.NoteMove(i, newKeys[i]);
    }
    return txns_.End(op, rc, kName);
  }

  int Delete() {
    static const char kName[] = "TCtreeTable::deleteRecord";
    Op op;
    int rc = txns_.Begin(op, true);
    if (rc) return log_.Report(kName, rc);
    MDB_val old;
    if ((rc = FetchCurrent(op, &old))) return txns_.End(op, rc, kName);
    unsigned char idBytes[kIdLength];
    cldb::PutId(walk_.current(), idBytes);
    unsigned char keys[kMaxIndexes][kMaxKeyLength];
    for (int i = 0; i < indexCount(); ++i) schema_.BuildKey(i, old.mv_data, keys[i]);
    op.changing = true;
    for (int i = 0; rc == 0 && i < indexCount(); ++i) rc = DeleteEntry(op, i, keys[i], idBytes);
    txns_.Touched(0);
    if (!rc) rc = log_.Lmdb(mdb_cursor_del(op.cursors->record, 0));
    walk_.RecordCursorAt(0);
    rc = txns_.End(op, rc, kName);
    if (!rc) walk_.ClearCurrent();
    return rc;
  }

  // ---- maintenance ------------------------------------------------------------------

  int Maintain(int (cldb::TableMaintenance::*work)(), const char* name) {
    if (!schema_.complete()) return schema_.Error(name, "declaration incomplete");
    if (store_.open()) return TCT_ALREADY_OPEN;
    cldb::TableMaintenance maintenance = Maintenance();
    return (maintenance.*work)();
  }

  int SealAsCopyOf(const char* sourceBase) {
    static const char kName[] = "TCtreeTable::SealAsCopyOf";
    if (!schema_.complete()) return schema_.Error(kName, "declaration incomplete");
    if (store_.open()) return TCT_ALREADY_OPEN;
    if (!sourceBase || !*sourceBase) return TCT_ARGUMENT;
    const std::string source = sourceBase, sourceData = source + ".dat";
    cldb::EngineLog sourceLog(owner_, sourceData);
    cldb::TableSeal sourceSeal(sourceLog, source, schema_);
    return Maintenance().SealCopy(sourceSeal, kName);
  }
};

// ---- TCtreeTable: forwarding ---------------------------------------------------------

TCtreeTable::TCtreeTable() : impl_(new Impl(*this)) {}

TCtreeTable::~TCtreeTable() { impl_->Close(); }

int TCtreeTable::internalInitialize(const char* fileName, unsigned int reserved,
                                    unsigned int fieldCount, unsigned int indexCount,
                                    unsigned int segmentCount, unsigned int recordLength,
                                    unsigned int maxRecordLength) {
  if (impl_->store_.open()) return TCT_ALREADY_OPEN;
  return impl_->schema_.Begin(fileName, fieldCount, indexCount, segmentCount, recordLength,
                              maxRecordLength);
}

int TCtreeTable::setNextField(const char* name, unsigned long offset, short typeCode,
                              short length) {
  return impl_->schema_.AddField(name, offset, typeCode, length);
}

int TCtreeTable::setNextIndex(const char* name, short keyLength, TKeyType keyType, short duplicates,
                              short reserved1, short reserved2, short segmentCount,
                              short indexNumber) {
  return impl_->schema_.AddIndex(name, keyLength, keyType, duplicates, segmentCount, indexNumber);
}

int TCtreeTable::setNextSegment(short fieldNumber, short length, char mode) {
  return impl_->schema_.AddSegment(fieldNumber, length, mode);
}

int TCtreeTable::initializeComplete() {
  cldb::TableSchema& schema = impl_->schema_;
  if (int rc = schema.CheckComplete()) return rc;
  registerTable();
  int tableVersion = cldb::kTableVersion;
  adjustTableVersion(schema.baseName().c_str(), tableVersion);
  processTableVersionExternal(tableVersion);
  int indexVersion = schema.indexVersion();
  processIndexVersionExternal(indexVersion);
  schema.Complete(tableVersion);
  return 0;
}

int TCtreeTable::setLazyIndex(int indexNumber) {
  if (impl_->store_.open()) return TCT_ALREADY_OPEN;
  return impl_->schema_.SetIndexFlag(indexNumber, &cldb::IndexDef::lazy);
}

int TCtreeTable::setFilteredIndex(int indexNumber) {
  if (impl_->store_.open()) return TCT_ALREADY_OPEN;
  return impl_->schema_.SetIndexFlag(indexNumber, &cldb::IndexDef::filtered);
}

void TCtreeTable::setnodeSize(int nodeSize) { gNodeSize.store(nodeSize); }

int TCtreeTable::getnodeSize() { return gNodeSize.load(); }

// LMDB sizes its own buffers: only the buffer count is kept, to be reported.
void TCtreeTable::internalRegisterTable(short bufferCount, short fileCount,
                                        short indexBufferCount) {
  impl_->bufferCount_ = bufferCount;
}

short TCtreeTable::bufferCount() const { return impl_->bufferCount_; }

void TCtreeTable::registerTable() {}

const char* TCtreeTable::getTableType() { return "TCtreeTable"; }

int TCtreeTable::createHugeFile() { return 1; }

int TCtreeTable::adjustTableVersion(const char* fileName, int& version) { return 0; }

int TCtreeTable::processTableVersionExternal(int& version) { return 0; }

int TCtreeTable::processIndexVersionExternal(int& version) {
  impl_->schema_.SetIndexVersion(3);
  return 0;
}

int TCtreeTable::indexVersion() const { return impl_->schema_.indexVersion(); }

int TCtreeTable::create() { return impl_->Create(); }

int TCtreeTable::open(ZelIndexing::TAccessEnum access) { return impl_->Open(access); }

int TCtreeTable::close() { return impl_->Close(); }

bool TCtreeTable::isOpen() const { return impl_->store_.open(); }

long long TCtreeTable::getRecordCount() { return impl_->RecordCount(); }

int TCtreeTable::fillKeySegment(char** cursor, int* left, const void* value, int segment,
                                int indexNumber, int reserved) {
  const cldb::KeyPart* part = impl_->schema_.Part(indexNumber, segment);
  if (!part || !cursor || !*cursor || !left || !value) return -TCT_ARGUMENT;
  if (*left < part->length) return -TCT_BAD_KEY;
  cldb::EncodeSegment(*part, value, reinterpret_cast<unsigned char*>(*cursor));
  *cursor += part->length;
  *left -= part->length;
  return part->length;
}

int TCtreeTable::finishKey(char** cursor, int* left, int lowest, int reserved) {
  if (!cursor || !*cursor || !left || *left < 0) return -TCT_ARGUMENT;
  const int padded = *left;
  memset(*cursor, lowest ? 0x00 : 0xff, padded);
  *cursor += padded;
  *left = 0;
  return padded;
}

int TCtreeTable::firstInSet(int indexNumber, void* key, void* record, int setLength) {
  return impl_->StartWalk(TableWalk::kSet, indexNumber, key, record, setLength,
                          "TCtreeTable::firstInSet");
}

int TCtreeTable::nextInSet(int indexNumber, void* record) {
  return impl_->Step(indexNumber, true, record, "TCtreeTable::nextInSet");
}

int TCtreeTable::getGTERecord(int indexNumber, void* key, void* record) {
  return impl_->StartWalk(TableWalk::kOrdered, indexNumber, key, record, 0,
                          "TCtreeTable::getGTERecord");
}

int TCtreeTable::nextRecord(int indexNumber, void* record) {
  return impl_->Step(indexNumber, false, record, "TCtreeTable::nextRecord");
}

int TCtreeTable::noRecordFound() { return impl_->lastReadRc_ == TCT_NOT_FOUND; }

const char* TCtreeTable::errToString(int code) { return impl_->log_.ErrorText(code); }

int TCtreeTable::addRecord(void* record) { return impl_->Add(record); }

int TCtreeTable::modifyRecord(void* record) { return impl_->Modify(record); }

int TCtreeTable::deleteRecord() { return impl_->Delete(); }

int TCtreeTable::BeginBatch() { return impl_->txns_.BeginBatch("TCtreeTable::BeginBatch"); }

int TCtreeTable::EndBatch(bool commit) {
  return impl_->txns_.EndBatch(commit, "TCtreeTable::EndBatch");
}

bool TCtreeTable::InBatch() const { return impl_->txns_.inBatch(); }

int TCtreeTable::CommitPending() {
  if (!impl_->store_.open()) return TCT_NOT_OPEN;
  return impl_->txns_.Commit(nullptr, "TCtreeTable::CommitPending");
}

int TCtreeTable::MakeCompact() {
  return impl_->Maintain(&cldb::TableMaintenance::MakeCompact, "TCtreeTable::MakeCompact");
}

int TCtreeTable::ReBuildIndex() {
  return impl_->Maintain(&cldb::TableMaintenance::ReBuildIndex, "TCtreeTable::ReBuildIndex");
}

int TCtreeTable::SealAsCopyOf(const char* sourceBase) { return impl_->SealAsCopyOf(sourceBase); }

const std::string& TCtreeTable::dataFileName() const { return impl_->schema_.dataFile(); }
