// TCtreeTable on LMDB.
//
// File layout (one LMDB environment, MDB_NOSUBDIR, named sub-databases):
//   "meta"     "schema" -> the declared schema as text (compared at open)
//              "nextid" -> big-endian u64, the id the next record gets
//   "records"  big-endian u64 record id -> the record image. Ids only grow,
//              so every add is an MDB_APPEND and record pages fill up.
//   "index<n>" MDB_DUPSORT|MDB_DUPFIXED: key bytes -> big-endian record id.
//              Duplicates sort by id, which is insertion order, and every
//              add is the greatest duplicate of its key (MDB_APPENDDUP).
// A position in index n is (key, id); walks re-find their place by it.
//
// Seal: "<base>.idx" holds the fingerprint (length and CRC-64) of the data
// file as the last clean close left it. Open compares it before LMDB maps the
// file; a read-write open removes it before anything can change the file.
//
// Transactions: a batch owns one write txn and one cursor per database for
// its whole life. Outside a batch, reads renew a read-only txn whose cursors
// were opened once at open, and each change runs in a write txn of its own.
// Cursor positions are only trusted while their txn lives and nothing else
// moved them: recordAt_ names the record the record cursor sits on, and
// indexStamp_[n] tells whether index cursor n still sits where the walk left
// it (it equals walk_.stamp).
#include "platform/TCtreeTable.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <lmdb.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/CTkCRC64.h"
#include "platform/EvDebug.h"
#include "platform/KeyFilter.h"

namespace {

constexpr int kMaxIndexes = 8;
constexpr int kMaxKeyLength = 128;
constexpr int kIdLength = 8;
constexpr unsigned kMaxRecordLength = 65536;
constexpr int kTableFormatVersion = 1;
constexpr int kBaseIndexVersion = 2;
constexpr char kIntegerMode = 1;
constexpr char kBytesMode = 0;
constexpr unsigned kEnvFlags = MDB_NOSUBDIR | MDB_NOSYNC | MDB_NOTLS;
constexpr unsigned kIndexFlags = MDB_DUPSORT | MDB_DUPFIXED;
// Virtual map sizes, tried in turn when the address space refuses one. The
// file grows only as pages are used, so a large map costs nothing on disk.
constexpr size_t kHugeMapSizes[] = {size_t{1} << 40, size_t{1} << 36, size_t{1} << 33};
constexpr size_t kSmallMapSizes[] = {size_t{2} << 30};
// A key filter starts with room for twice the keys of its index, and never
// for fewer than this.
constexpr size_t kMinFilterKeys = size_t{1} << 16;
const char kMetaDb[] = "meta";
const char kRecordDb[] = "records";
const char kSchemaKey[] = "schema";
const char kNextIdKey[] = "nextid";

std::atomic<int> gNodeSize{0};

void PutId(uint64_t id, unsigned char* out) {
  for (int i = kIdLength - 1; i >= 0; --i, id >>= 8) out[i] = static_cast<unsigned char>(id);
}

uint64_t GetId(const void* data) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t id = 0;
  for (int i = 0; i < kIdLength; ++i) id = (id << 8) | p[i];
  return id;
}

MDB_val Val(const void* data, size_t size) { return MDB_val{size, const_cast<void*>(data)}; }

MDB_val TextVal(const char* text) { return Val(text, strlen(text)); }

std::string IndexDbName(int index) { return "index" + std::to_string(index); }

struct FieldDef {
  std::string name;
  unsigned long offset;
  short typeCode;
  short length;
};

// One key segment, resolved against its field.
struct KeyPart {
  short field;
  size_t offset;
  int length;
  char mode;
};

struct IndexDef {
  std::string name;
  int keyLength;
  TKeyType keyType;
  short duplicates;
  int segmentCount;
  std::vector<KeyPart> parts;
  bool lazy = false;      // see "Lazy indexes" in the header; not stored
  bool filtered = false;  // keeps a KeyFilter of its keys; not stored
};

// Writes one segment's key bytes for the field bytes at `field`.
void EncodeSegment(const KeyPart& part, const void* field, unsigned char* out) {
  const unsigned char* in = static_cast<const unsigned char*>(field);
  if (part.mode == kIntegerMode) {
    for (int i = 0; i < part.length; ++i) out[i] = in[part.length - 1 - i];
  } else {
    memcpy(out, in, part.length);
  }
}

void BuildKey(const IndexDef& index, const void* record, unsigned char* key) {
  const unsigned char* image = static_cast<const unsigned char*>(record);
  for (const KeyPart& part : index.parts) {
    EncodeSegment(part, image + part.offset, key);
    key += part.length;
  }
}

// The schema as declared by the table; its text form is stored in the file.
struct Declaration {
  std::string baseName;
  unsigned fieldCount = 0, indexCount = 0, segmentCount = 0, recordLength = 0;
  std::vector<FieldDef> fields;
  std::vector<IndexDef> indexes;
  unsigned segmentsDeclared = 0;
  bool started = false;
  bool complete = false;
  int tableVersion = kTableFormatVersion;

  std::string Describe(int indexVersion) const {
    char line[512];
    std::string text;
    snprintf(line, sizeof(line), "TCtreeTable %d\nversions table=%d index=%d\nrecord %u\n",
             kTableFormatVersion, tableVersion, indexVersion, recordLength);
    text += line;
    for (size_t i = 0; i < fields.size(); ++i) {
      const FieldDef& f = fields[i];
      snprintf(line, sizeof(line), "field %zu %s offset=%lu type=%d length=%d\n", i,
               f.name.c_str(), f.offset, f.typeCode, f.length);
      text += line;
    }
    for (size_t i = 0; i < indexes.size(); ++i) {
      const IndexDef& x = indexes[i];
      snprintf(line, sizeof(line), "index %zu %s key=%d type=%d duplicates=%d segments=%d\n", i,
               x.name.c_str(), x.keyLength, x.keyType, x.duplicates, x.segmentCount);
      text += line;
      for (const KeyPart& p : x.parts) {
        snprintf(line, sizeof(line), "segment field=%d length=%d mode=%d\n", p.field, p.length,
                 p.mode);
        text += line;
      }
    }
    return text;
  }
};

// The first line in which two schema texts differ, for the log.
std::pair<std::string, std::string> FirstDifference(const std::string& a, const std::string& b) {
  size_t start = 0;
  for (;;) {
    size_t ea = a.find('\n', start), eb = b.find('\n', start);
    std::string la = a.substr(start, ea == std::string::npos ? std::string::npos : ea - start);
    std::string lb = b.substr(start, eb == std::string::npos ? std::string::npos : eb - start);
    if (la != lb || ea == std::string::npos || eb == std::string::npos) return {la, lb};
    start = ea + 1;
  }
}

// Files that a table object of this process has in use, by device and inode.
// LMDB's fcntl locks are per process: a second handle on the same file would
// silently drop the first one's locks when it closes.
class FileClaim {
 public:
  FileClaim() = default;
  FileClaim(const FileClaim&) = delete;
  FileClaim& operator=(const FileClaim&) = delete;
  ~FileClaim() { Release(); }

  // 0, TCT_NO_FILE, TCT_BUSY or TCT_IO (errno kept in *error).
  int Acquire(const std::string& path, struct stat* st, int* error) {
    if (stat(path.c_str(), st) != 0) {
      *error = errno;
      return errno == ENOENT ? TCT_NO_FILE : TCT_IO;
    }
    std::lock_guard<std::mutex> lock(Mutex());
    id_ = {st->st_dev, st->st_ino};
    if (!Claimed().insert(id_).second) return TCT_BUSY;
    held_ = true;
    return 0;
  }

  void Release() {
    if (!held_) return;
    std::lock_guard<std::mutex> lock(Mutex());
    Claimed().erase(id_);
    held_ = false;
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::set<std::pair<dev_t, ino_t>>& Claimed() {
    static std::set<std::pair<dev_t, ino_t>> claimed;
    return claimed;
  }

  bool held_ = false;
  std::pair<dev_t, ino_t> id_{};
};

// An open LMDB environment holding a table, with its database handles.
struct Store {
  MDB_env* env = nullptr;
  MDB_dbi meta = 0, records = 0;
  MDB_dbi index[kMaxIndexes] = {};
  uint64_t nextId = 1;        // past every record
  uint64_t storedNextId = 1;  // as the meta database holds it

  Store() = default;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  ~Store() { Close(); }
  void Close() {
    if (env) mdb_env_close(env);
    env = nullptr;
  }
};

struct Cursors {
  MDB_cursor* record = nullptr;
  MDB_cursor* index[kMaxIndexes] = {};

  int Open(MDB_txn* txn, const Store& store, int indexCount) {
    int rc = mdb_cursor_open(txn, store.records, &record);
    for (int i = 0; rc == 0 && i < indexCount; ++i)
      rc = mdb_cursor_open(txn, store.index[i], &index[i]);
    if (rc) Close(indexCount);
    return rc;
  }
  int Renew(MDB_txn* txn, int indexCount) {
    int rc = mdb_cursor_renew(txn, record);
    for (int i = 0; rc == 0 && i < indexCount; ++i) rc = mdb_cursor_renew(txn, index[i]);
    return rc;
  }
  void Close(int indexCount) {
    if (record) mdb_cursor_close(record);
    record = nullptr;
    for (int i = 0; i < indexCount; ++i) {
      if (index[i]) mdb_cursor_close(index[i]);
      index[i] = nullptr;
    }
  }
};

// ---- the seal ---------------------------------------------------------------------

const char kSealMagic[] = "TCtreeTable seal 1";
const char kChangedWhileOpening[] = "table file changed while it was being opened";
constexpr size_t kSealMaxBytes = 4096;
constexpr size_t kReadChunk = size_t{1} << 20;
constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// LMDB files keep the writer's word size and byte order, and only LMDB of
// the same major.minor reads them.
std::string ThisMachine() {
  int major = 0, minor = 0, patch = 0;
  mdb_version(&major, &minor, &patch);
  char text[96];
  snprintf(text, sizeof(text), "%zu-bit %s-endian, LMDB %d.%d", sizeof(size_t) * 8,
           kLittleEndian ? "little" : "big", major, minor);
  return text;
}

// What a clean close vouches for.
struct Seal {
  std::string machine;
  unsigned long long size = 0;
  unsigned long long crc = 0;

  std::string Text() const {
    char text[256];
    snprintf(text, sizeof(text), "%s\nmachine %s\nsize %llu\ncrc64 %016llx\n", kSealMagic,
             machine.c_str(), size, crc);
    return text;
  }
  // Strict: accepts only what Text() writes.
  bool Parse(const std::string& text) {
    char found[128];
    if (sscanf(text.c_str(), "%*[^\n]\nmachine %127[^\n]\nsize %llu\ncrc64 %llx", found, &size,
               &crc) != 3)
      return false;
    machine = found;
    return Text() == text;
  }
};

// Length and CRC-64 of the whole file behind `fd`. 0 or an errno.
int Fingerprint(int fd, unsigned long long* size, unsigned long long* crc) {
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::vector<unsigned char> buffer(kReadChunk);
  CTkCRC64 sum;
  unsigned long long total = 0;
  for (;;) {
    const ssize_t got = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(total));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) break;
    sum.UpdateCRC64(buffer.data(), static_cast<unsigned>(got));
    total += static_cast<unsigned long long>(got);
  }
  // The sequential read leaves the file in large page-cache folios, and every
  // page LMDB later commits into such a folio costs the kernel a walk of the
  // whole folio (commits measured 45% slower). Dropping the clean pages lets
  // LMDB's own faults bring the file back in its usual small units.
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  *size = total;
  *crc = sum.GetCRC64();
  return 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size;
}

// What an open of an existing file is for: use (strict), or maintenance,
// which accepts indexes that are missing or out of step.
enum class Purpose { kUse, kMaintain };

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
  // The transaction one call works in.
  struct Op {
    MDB_txn* txn = nullptr;
    Cursors* cursors = nullptr;
    bool write = false;
    bool own = false;       // begun for this call alone (not the batch's)
    bool changing = false;  // a change has begun: failing now spoils the txn
    Cursors local;
  };

  struct Walk {
    enum Kind { kNone, kSet, kOrdered } kind = kNone;
    int index = 0;
    int setLength = 0;
    bool positioned = false;  // key/id name the entry read last
    unsigned char key[kMaxKeyLength] = {};
    uint64_t id = 0;
    uint64_t stamp = 0;
    // Entries this walk gave its records under keys ahead of it (the
    // record's id and new key); each is passed over when met.
    struct Moved {
      uint64_t id;
      std::string key;
    };
    std::vector<Moved> movedAhead;
  };

  // What Visit makes of an entry of a lazy index whose record no longer
  // has the entry's key (or no longer exists).
  static constexpr int kStale = -1;

  explicit Impl(TCtreeTable* owner) : owner_(owner) {}

  TCtreeTable* owner_;
  Declaration decl_;
  std::string dataFile_;
  short bufferCount_ = 0, fileCount_ = 0, indexBufferCount_ = 0;
  int indexVersion_ = kBaseIndexVersion;

  Store store_;
  FileClaim claim_;
  bool readOnly_ = false;
  MDB_txn* readTxn_ = nullptr;
  Cursors readCursors_;
  MDB_txn* batchTxn_ = nullptr;
  Cursors batchCursors_;
  int batchFailure_ = 0;
  uint64_t nextId_ = 1, storedNextId_ = 1;

  uint64_t currentId_ = 0;  // 0: no current record
  Walk walk_;
  KeyFilter filters_[kMaxIndexes];  // of the filtered indexes, while open
  uint64_t recordAt_ = 0;
  uint64_t indexStamp_[kMaxIndexes] = {};
  uint64_t stampSeq_ = 0;
  int lastReadRc_ = 0;
  int lastError_ = 0;  // LMDB code or errno behind the last TCT_LMDB/TCT_IO
  unsigned char seekId_[kIdLength] = {};
  char errText_[256] = {};

  int indexCount() const { return static_cast<int>(decl_.indexes.size()); }
  int keyLength(int index) const { return decl_.indexes[index].keyLength; }

  // Turns on setting `flag` of a declared index while the table is closed.
  int SetIndexFlag(int index, bool IndexDef::*flag) {
    if (store_.env) return TCT_ALREADY_OPEN;
    if (index < 0 || index >= indexCount()) return TCT_ARGUMENT;
    decl_.indexes[index].*flag = true;
    return 0;
  }

  // ---- results and log ----------------------------------------------------------

  // Maps an LMDB result to an engine code; damage that LMDB found is logged.
  int Lmdb(int rc) {
    if (rc == 0) return 0;
    if (rc == MDB_NOTFOUND) return TCT_NOT_FOUND;
    lastError_ = rc;
    if (rc == MDB_CORRUPTED || rc == MDB_PAGE_NOTFOUND || rc == MDB_INVALID ||
        rc == MDB_VERSION_MISMATCH || rc == MDB_INCOMPATIBLE)
      return Corrupt("TCtreeTable", mdb_strerror(rc));
    return TCT_LMDB;
  }

  int Io(int error) {
    lastError_ = error;
    return TCT_IO;
  }

  int Corrupt(const char* name, const char* reason) {
    owner_->debug(-1, "%s: [ERROR] %s is damaged or not a table file: %s", name, dataFile_.c_str(),
                  reason);
    return TCT_CORRUPT;
  }

  // Logs the failures whose reason was not logged where they arose.
  int Report(const char* name, int rc) {
    if (rc == TCT_LMDB || rc == TCT_IO)
      owner_->debug(-1, "%s: [ERROR] %s: %s", name, dataFile_.c_str(), ErrorText(rc));
    return rc;
  }

  const char* ErrorText(int code) {
    switch (code) {
      case TCT_OK: return "success";
      case TCT_NOT_FOUND: return "no record found";
      case TCT_NO_CURRENT: return "no current record or walk";
      case TCT_NOT_OPEN: return "table not open";
      case TCT_ALREADY_OPEN: return "table already open";
      case TCT_SCHEMA: return "schema declaration invalid or incomplete";
      case TCT_SCHEMA_MISMATCH: return "table file was created under another schema";
      case TCT_EXISTS: return "table file already exists";
      case TCT_NO_FILE: return "table file does not exist";
      case TCT_CORRUPT: return "table file damaged, truncated, foreign or not closed cleanly";
      case TCT_BAD_KEY: return "key does not fit or bad set length";
      case TCT_BATCH: return "batch misuse";
      case TCT_READ_ONLY: return "table opened read-only";
      case TCT_ARGUMENT: return "invalid argument";
      case TCT_BUSY: return "table file in use by another table object";
      case TCT_IO:
        snprintf(errText_, sizeof(errText_), "file system error: %s", strerror(lastError_));
        return errText_;
      case TCT_LMDB:
        snprintf(errText_, sizeof(errText_), "LMDB error %d: %s", lastError_,
                 mdb_strerror(lastError_));
        return errText_;
      default:
        snprintf(errText_, sizeof(errText_), "unknown engine code %d", code);
        return errText_;
    }
  }

  int SchemaError(const char* name, const char* reason) {
    owner_->debug(-1, "%s: [ERROR] %s: %s", name, decl_.baseName.c_str(), reason);
    return TCT_SCHEMA;
  }

  // ---- schema declaration -----------------------------------------------------

  int InternalInitialize(const char* fileName, unsigned fieldCount, unsigned indexCount,
                         unsigned segmentCount, unsigned recordLength, unsigned maxLength) {
    static const char kName[] = "TCtreeTable::internalInitialize";
    if (store_.env) return TCT_ALREADY_OPEN;
    decl_ = Declaration();
    indexVersion_ = kBaseIndexVersion;
    if (!fileName || !*fileName) return SchemaError(kName, "no file name");
    decl_.baseName = fileName;
    if (fieldCount == 0) return SchemaError(kName, "no fields");
    if (indexCount > kMaxIndexes) return SchemaError(kName, "too many indexes");
    if (segmentCount < indexCount) return SchemaError(kName, "fewer segments than indexes");
    if (recordLength == 0 || recordLength > kMaxRecordLength || recordLength != maxLength)
      return SchemaError(kName, "record length must be fixed, 1 to 65536 bytes");
    decl_.fieldCount = fieldCount;
    decl_.indexCount = indexCount;
    decl_.segmentCount = segmentCount;
    decl_.recordLength = recordLength;
    decl_.started = true;
    dataFile_ = decl_.baseName + ".dat";
    return 0;
  }

  int CheckDeclaring(const char* name) {
    if (!decl_.started || decl_.complete) return SchemaError(name, "no declaration in progress");
    return 0;
  }

  int SetNextField(const char* name, unsigned long offset, short typeCode, short length) {
    static const char kName[] = "TCtreeTable::setNextField";
    if (int rc = CheckDeclaring(kName)) return rc;
    if (decl_.fields.size() >= decl_.fieldCount) return SchemaError(kName, "too many fields");
    if (!name || !*name) return SchemaError(kName, "field without a name");
    if (typeCode < 0 || typeCode > 255) return SchemaError(kName, "type code outside 0..255");
    if (length <= 0 || offset > decl_.recordLength ||
        static_cast<unsigned long>(length) > decl_.recordLength - offset)
      return SchemaError(kName, "field outside the record");
    decl_.fields.push_back(FieldDef{name, offset, typeCode, length});
    return 0;
  }

  int SetNextIndex(const char* name, short keyLength, TKeyType keyType, short duplicates,
                   short segmentCount, short indexNumber) {
    static const char kName[] = "TCtreeTable::setNextIndex";
    if (int rc = CheckDeclaring(kName)) return rc;
    if (decl_.indexes.size() >= decl_.indexCount) return SchemaError(kName, "too many indexes");
    if (indexNumber != indexCount()) return SchemaError(kName, "indexes out of order");
    if (!name || !*name) return SchemaError(kName, "index without a name");
    if (keyLength <= 0 || keyLength > kMaxKeyLength)
      return SchemaError(kName, "key length outside 1..128");
    if (keyType != 0) return SchemaError(kName, "unknown key type");
    if (duplicates != 1) return SchemaError(kName, "only indexes with duplicate keys are kept");
    if (segmentCount <= 0) return SchemaError(kName, "index without segments");
    decl_.indexes.push_back(IndexDef{name, keyLength, keyType, duplicates, segmentCount, {}});
    return 0;
  }

  int SetNextSegment(short fieldNumber, short length, char mode) {
    static const char kName[] = "TCtreeTable::setNextSegment";
    if (int rc = CheckDeclaring(kName)) return rc;
    auto open = std::find_if(decl_.indexes.begin(), decl_.indexes.end(), [](const IndexDef& x) {
      return static_cast<int>(x.parts.size()) < x.segmentCount;
    });
    if (open == decl_.indexes.end() || decl_.segmentsDeclared >= decl_.segmentCount)
      return SchemaError(kName, "segment without an index to take it");
    if (fieldNumber < 0 || fieldNumber >= static_cast<int>(decl_.fields.size()))
      return SchemaError(kName, "segment of an undeclared field");
    const FieldDef& field = decl_.fields[fieldNumber];
    if (mode != kIntegerMode && mode != kBytesMode) return SchemaError(kName, "unknown mode");
    if (length <= 0 || length > field.length)
      return SchemaError(kName, "segment longer than its field");
    if (mode == kIntegerMode &&
        (length != field.length || (length != 1 && length != 2 && length != 4 && length != 8)))
      return SchemaError(kName, "integer segment must be a whole 1, 2, 4 or 8-byte field");
    open->parts.push_back(KeyPart{fieldNumber, field.offset, length, mode});
    ++decl_.segmentsDeclared;
    return 0;
  }

  int CheckComplete() {
    static const char kName[] = "TCtreeTable::initializeComplete";
    if (int rc = CheckDeclaring(kName)) return rc;
    if (decl_.fields.size() != decl_.fieldCount) return SchemaError(kName, "fields missing");
    if (decl_.indexes.size() != decl_.indexCount) return SchemaError(kName, "indexes missing");
    if (decl_.segmentsDeclared != decl_.segmentCount)
      return SchemaError(kName, "segments missing");
    for (const IndexDef& x : decl_.indexes) {
      int length = 0;
      for (const KeyPart& p : x.parts) length += p.length;
      if (static_cast<int>(x.parts.size()) != x.segmentCount || length != x.keyLength)
        return SchemaError(kName, "segments do not add up to the key length");
    }
    return 0;
  }

  const KeyPart* Part(int index, int segment) const {
    if (index < 0 || index >= indexCount()) return nullptr;
    const IndexDef& x = decl_.indexes[index];
    if (segment < 0 || segment >= static_cast<int>(x.parts.size())) return nullptr;
    return &x.parts[segment];
  }

  // ---- the seal -------------------------------------------------------------------

  std::string SealFile() const { return decl_.baseName + ".idx"; }

  // The table file is well-formed as far as anyone can tell, but not trusted.
  int Untrusted(const char* name, const char* reason) {
    owner_->debug(-1, "%s: [ERROR] %s is refused: %s", name, dataFile_.c_str(), reason);
    return TCT_CORRUPT;
  }

  int ReadSeal(Seal* seal, const char* name) {
    const std::string path = SealFile();
    char reason[PATH_MAX + 96];
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
      snprintf(reason, sizeof(reason), "table was not closed cleanly (no seal %s)", path.c_str());
      return Untrusted(name, reason);
    }
    const char* problem = "not a seal";
    std::string text(kSealMaxBytes + 1, '\0');
    ssize_t got = -1;
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
      problem = strerror(errno);
    } else if (S_ISREG(st.st_mode) && (got = read(fd, &text[0], text.size())) < 0) {
      problem = strerror(errno);
    }
    if (fd >= 0) ::close(fd);
    if (got >= 0) text.resize(static_cast<size_t>(got));
    if (got >= 0 && text.size() <= kSealMaxBytes && seal->Parse(text)) return 0;
    snprintf(reason, sizeof(reason), "its seal %s is unreadable (%s)", path.c_str(), problem);
    return Untrusted(name, reason);
  }

  // 0 when the seal vouches for the data file, whose identity `st` names.
  int CheckSeal(const struct stat& st, const char* name) {
    Seal seal;
    if (int rc = ReadSeal(&seal, name)) return rc;
    char reason[256];
    if (seal.machine != ThisMachine()) {
      snprintf(reason, sizeof(reason), "table file was written by %s; this is %s",
               seal.machine.c_str(), ThisMachine().c_str());
      return Untrusted(name, reason);
    }
    if (static_cast<unsigned long long>(st.st_size) != seal.size) {
      snprintf(reason, sizeof(reason),
               "table file does not match its seal: %llu bytes, sealed %llu",
               static_cast<unsigned long long>(st.st_size), seal.size);
      return Untrusted(name, reason);
    }
    const int fd = ::open(dataFile_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Report(name, Io(errno));
    struct stat now;
    unsigned long long size = 0, crc = 0;
    int error = fstat(fd, &now) != 0 ? errno : 0;
    const bool same = error == 0 && SameFile(now, st);
    if (same) error = Fingerprint(fd, &size, &crc);
    ::close(fd);
    if (error) return Report(name, Io(error));
    if (!same || size != seal.size) return Untrusted(name, kChangedWhileOpening);
    if (crc != seal.crc) {
      snprintf(reason, sizeof(reason),
               "table file does not match its seal: CRC-64 %016llx, sealed %016llx", crc,
               seal.crc);
      return Untrusted(name, reason);
    }
    return 0;
  }

  // Before the first change. Should a crash lose the removal, the file no
  // longer matches the seal once anything reached it, so it is refused all
  // the same; no folder sync is needed. 0 or TCT_IO (not logged).
  int RemoveSeal() {
    return unlink(SealFile().c_str()) != 0 && errno != ENOENT ? Io(errno) : 0;
  }

  int SyncFolder(const char* name) {
    const size_t slash = dataFile_.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : dataFile_.substr(0, slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int rc = fd < 0 || fsync(fd) != 0 ? Io(errno) : 0;
    if (fd >= 0) ::close(fd);
    return Report(name, rc);
  }

  // Fingerprints the data file (closed by now) into "<base>.idx.tmp", syncs
  // it, renames it over the seal and syncs the folder.
  int WriteSeal(const char* name) {
    Seal seal;
    seal.machine = ThisMachine();
    int fd = ::open(dataFile_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Report(name, Io(errno));
    int error = Fingerprint(fd, &seal.size, &seal.crc);
    ::close(fd);
    if (error) return Report(name, Io(error));
    const std::string path = SealFile(), temp = path + ".tmp", text = seal.Text();
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return Report(name, Io(errno));
    const ssize_t written = write(fd, text.data(), text.size());
    if (written != static_cast<ssize_t>(text.size())) error = written < 0 ? errno : EIO;
    if (!error && fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && !error) error = errno;
    if (!error && rename(temp.c_str(), path.c_str()) != 0) error = errno;
    if (error) {
      unlink(temp.c_str());
      return Report(name, Io(error));
    }
    return SyncFolder(name);
  }

  // Ends a session that may have changed the file: sync, close, seal.
  int CloseAndSeal(Store& s, const char* name) {
    const int rc = Report(name, Lmdb(mdb_env_sync(s.env, 1)));
    s.Close();
    return rc ? rc : WriteSeal(name);
  }

  // ---- opening --------------------------------------------------------------------

  int OpenEnv(Store& s, bool readOnly, const char* name) {
    const bool huge = owner_->createHugeFile() != 0;
    const size_t* sizes = huge ? kHugeMapSizes : kSmallMapSizes;
    const size_t count = huge ? std::size(kHugeMapSizes) : std::size(kSmallMapSizes);
    int rc = 0;
    for (size_t i = 0; i < count; ++i) {
      rc = mdb_env_create(&s.env);
      if (rc) break;
      rc = mdb_env_set_maxdbs(s.env, 2 + kMaxIndexes);
      if (!rc) rc = mdb_env_set_mapsize(s.env, sizes[i]);
      if (!rc) rc = mdb_env_open(s.env, dataFile_.c_str(), kEnvFlags | (readOnly ? MDB_RDONLY : 0),
                                 0644);
      if (!rc) return 0;
      s.Close();
      // ENOMEM: the address space refuses the map; EINVAL: so does a tool
      // such as valgrind that limits mappings. Both retry with less.
      if (rc != ENOMEM && rc != EINVAL) break;
    }
    if (rc == MDB_INVALID || rc == MDB_VERSION_MISMATCH) return Corrupt(name, mdb_strerror(rc));
    return Report(name, Lmdb(rc));
  }

  // The file LMDB mapped must be the one whose seal was checked (`verified`),
  // and it must cover every page the newest meta page claims.
  int CheckMapped(Store& s, const struct stat& verified, const char* name) {
    MDB_stat st;
    MDB_envinfo info;
    int fd = -1;
    struct stat fs;
    int rc = mdb_env_stat(s.env, &st);
    if (!rc) rc = mdb_env_info(s.env, &info);
    if (!rc) rc = mdb_env_get_fd(s.env, &fd);
    if (rc) return Report(name, Lmdb(rc));
    if (fstat(fd, &fs) != 0) return Report(name, Io(errno));
    if (!SameFile(fs, verified)) return Untrusted(name, kChangedWhileOpening);
    const unsigned long long size = fs.st_size, page = st.ms_psize;
    const unsigned long long used = (info.me_last_pgno + 1ULL) * page;
    if (page == 0 || size < 2 * page || size % page != 0 || used > size) {
      char reason[160];
      snprintf(reason, sizeof(reason), "%llu bytes for %llu pages of %llu bytes", size,
               static_cast<unsigned long long>(info.me_last_pgno + 1), page);
      return Corrupt(name, reason);
    }
    return 0;
  }

  int OpenDb(MDB_txn* txn, const char* dbName, unsigned flags, MDB_dbi* dbi, const char* name) {
    int rc = mdb_dbi_open(txn, dbName, flags, dbi);
    if (rc == MDB_NOTFOUND) return TCT_NOT_FOUND;
    unsigned stored = 0;
    if (!rc) rc = mdb_dbi_flags(txn, *dbi, &stored);
    if (rc == 0 && (stored & ~unsigned{MDB_CREATE}) != (flags & ~unsigned{MDB_CREATE}))
      rc = MDB_INCOMPATIBLE;
    if (rc != MDB_INCOMPATIBLE) return Report(name, Lmdb(rc));
    char reason[96];
    snprintf(reason, sizeof(reason), "sub-database \"%s\" of the wrong kind", dbName);
    return Corrupt(name, reason);
  }

  // Reads and checks what the file holds against the declaration.
  int Load(Store& s, MDB_txn* txn, Purpose purpose, const char* name) {
    int rc = OpenDb(txn, kMetaDb, 0, &s.meta, name);
    if (!rc) rc = OpenDb(txn, kRecordDb, 0, &s.records, name);
    if (rc == TCT_NOT_FOUND) return Corrupt(name, "no table sub-databases");
    if (rc) return rc;
    MDB_val key = TextVal(kSchemaKey), data;
    rc = mdb_get(txn, s.meta, &key, &data);
    if (rc == MDB_NOTFOUND) return Corrupt(name, "no stored schema");
    if (rc) return Report(name, Lmdb(rc));
    const std::string stored(static_cast<const char*>(data.mv_data), data.mv_size);
    const std::string declared = decl_.Describe(indexVersion_);
    if (stored != declared) {
      auto diff = FirstDifference(stored, declared);
      owner_->debug(-1, "%s: [ERROR] %s has another schema: stored \"%s\", declared \"%s\"", name,
                    dataFile_.c_str(), diff.first.c_str(), diff.second.c_str());
      return TCT_SCHEMA_MISMATCH;
    }
    key = TextVal(kNextIdKey);
    rc = mdb_get(txn, s.meta, &key, &data);
    if (rc == MDB_NOTFOUND || (rc == 0 && data.mv_size != kIdLength))
      return Corrupt(name, "no record id counter");
    if (rc) return Report(name, Lmdb(rc));
    s.nextId = s.storedNextId = GetId(data.mv_data);
    if ((rc = LoadIndexes(s, txn, purpose, name))) return rc;
    uint64_t last = 0;
    if ((rc = LastRecordId(txn, s.records, &last))) return Report(name, rc);
    s.nextId = std::max({s.nextId, last + 1, uint64_t{1}});
    return 0;
  }

  int LoadIndexes(Store& s, MDB_txn* txn, Purpose purpose, const char* name) {
    MDB_stat records;
    int rc = mdb_stat(txn, s.records, &records);
    if (rc) return Report(name, Lmdb(rc));
    for (int i = 0; i < indexCount(); ++i) {
      rc = OpenDb(txn, IndexDbName(i).c_str(), kIndexFlags, &s.index[i], name);
      if (rc == TCT_NOT_FOUND && purpose == Purpose::kMaintain) continue;
      if (rc == TCT_NOT_FOUND) return Corrupt(name, "an index sub-database is missing");
      if (rc) return rc;
      MDB_stat st;
      if ((rc = mdb_stat(txn, s.index[i], &st))) return Report(name, Lmdb(rc));
      const bool lazy = decl_.indexes[i].lazy;
      if (purpose == Purpose::kUse &&
          (lazy ? st.ms_entries < records.ms_entries : st.ms_entries != records.ms_entries)) {
        char reason[160];
        snprintf(reason, sizeof(reason), "index %d holds %zu entries for %zu records", i,
                 st.ms_entries, records.ms_entries);
        return Corrupt(name, reason);
      }
    }
    return 0;
  }

  int LastRecordId(MDB_txn* txn, MDB_dbi records, uint64_t* last) {
    MDB_cursor* c;
    int rc = mdb_cursor_open(txn, records, &c);
    if (rc) return Lmdb(rc);
    MDB_val key, data;
    rc = mdb_cursor_get(c, &key, &data, MDB_LAST);
    mdb_cursor_close(c);
    if (rc == MDB_NOTFOUND) return 0;
    if (rc) return Lmdb(rc);
    if (key.mv_size != kIdLength) return Corrupt("TCtreeTable", "record key of bad size");
    *last = GetId(key.mv_data);
    return 0;
  }

  // Opens the existing table file for `purpose`, checking it on the way.
  int OpenExisting(Store& s, FileClaim& claim, Purpose purpose, bool readOnly, const char* name) {
    struct stat st;
    int error = 0;
    int rc = claim.Acquire(dataFile_, &st, &error);
    if (rc == TCT_NO_FILE) {
      owner_->debug(1, "%s: %s does not exist", name, dataFile_.c_str());
      return rc;
    }
    if (rc == TCT_IO) return Report(name, Io(error));
    if (rc) return rc;
    if (!S_ISREG(st.st_mode)) rc = Corrupt(name, "not a regular file");
    if (!rc && st.st_size == 0) rc = Corrupt(name, "empty file");
    if (!rc) rc = CheckSeal(st, name);
    if (!rc) rc = OpenEnv(s, readOnly, name);
    if (!rc) rc = CheckMapped(s, st, name);
    MDB_txn* txn = nullptr;
    if (!rc) rc = Report(name, Lmdb(mdb_txn_begin(s.env, nullptr, MDB_RDONLY, &txn)));
    if (!rc) {
      rc = Load(s, txn, purpose, name);
      // Committing the read-only txn keeps the database handles it opened.
      if (rc) {
        mdb_txn_abort(txn);
      } else {
        rc = Report(name, Lmdb(mdb_txn_commit(txn)));
      }
    }
    if (rc) {
      s.Close();
      claim.Release();
    }
    return rc;
  }

  // Makes the sub-databases and the meta entries of a new file.
  int Initialize(Store& s, const char* name) {
    MDB_txn* txn = nullptr;
    int rc = mdb_txn_begin(s.env, nullptr, 0, &txn);
    if (!rc) rc = mdb_dbi_open(txn, kMetaDb, MDB_CREATE, &s.meta);
    if (!rc) rc = mdb_dbi_open(txn, kRecordDb, MDB_CREATE, &s.records);
    for (int i = 0; rc == 0 && i < indexCount(); ++i)
      rc = mdb_dbi_open(txn, IndexDbName(i).c_str(), kIndexFlags | MDB_CREATE, &s.index[i]);
    const std::string schema = decl_.Describe(indexVersion_);
    unsigned char first[kIdLength];
    PutId(1, first);
    MDB_val key = TextVal(kSchemaKey), data = Val(schema.data(), schema.size());
    if (!rc) rc = mdb_put(txn, s.meta, &key, &data, 0);
    key = TextVal(kNextIdKey);
    data = Val(first, sizeof(first));
    if (!rc) rc = mdb_put(txn, s.meta, &key, &data, 0);
    if (!rc) {
      rc = mdb_txn_commit(txn);
    } else if (txn) {
      mdb_txn_abort(txn);
    }
    if (!rc) rc = mdb_env_sync(s.env, 1);
    s.nextId = s.storedNextId = 1;
    return Report(name, Lmdb(rc));
  }

  int Create() {
    static const char kName[] = "TCtreeTable::create";
    if (!decl_.complete) return SchemaError(kName, "declaration incomplete");
    if (store_.env) return TCT_ALREADY_OPEN;
    int fd = ::open(dataFile_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) {
      owner_->debug(1, "%s: %s exists already", kName, dataFile_.c_str());
      return TCT_EXISTS;
    }
    if (fd < 0) return Report(kName, Io(errno));
    ::close(fd);
    struct stat st;
    int error = 0;
    int rc = claim_.Acquire(dataFile_, &st, &error);
    if (rc == TCT_IO) rc = Report(kName, Io(error));
    if (!rc) rc = Report(kName, RemoveSeal());  // one left behind by an earlier table
    if (!rc) rc = OpenEnv(store_, false, kName);
    if (!rc) rc = Initialize(store_, kName);
    if (rc) {
      store_.Close();
      claim_.Release();
      unlink(dataFile_.c_str());
      unlink((dataFile_ + "-lock").c_str());
      return rc;
    }
    return StartSession(false, kName);
  }

  int Open(ZelIndexing::TAccessEnum access) {
    static const char kName[] = "TCtreeTable::open";
    if (!decl_.complete) return SchemaError(kName, "declaration incomplete");
    if (store_.env) return TCT_ALREADY_OPEN;
    if (access != ZelIndexing::kReadOnly && access != ZelIndexing::kReadWrite) return TCT_ARGUMENT;
    const bool readOnly = access == ZelIndexing::kReadOnly;
    int rc = OpenExisting(store_, claim_, Purpose::kUse, readOnly, kName);
    if (!rc && !readOnly && (rc = Report(kName, RemoveSeal()))) {
      store_.Close();
      claim_.Release();
    }
    return rc ? rc : StartSession(readOnly, kName);
  }

  int StartSession(bool readOnly, const char* name) {
    readOnly_ = readOnly;
    nextId_ = store_.nextId;
    storedNextId_ = store_.storedNextId;
    int rc = mdb_txn_begin(store_.env, nullptr, MDB_RDONLY, &readTxn_);
    if (!rc) rc = readCursors_.Open(readTxn_, store_, indexCount());
    for (int i = 0; rc == 0 && i < indexCount(); ++i)
      if (decl_.indexes[i].filtered) BuildFilter(readTxn_, i);
    if (readTxn_) mdb_txn_reset(readTxn_);
    ForgetPositions();
    walk_ = Walk();
    currentId_ = 0;
    lastReadRc_ = 0;
    if (!rc) return 0;
    rc = Report(name, Lmdb(rc));
    Close();
    return rc;
  }

  int Close() {
    static const char kName[] = "TCtreeTable::close";
    if (!store_.env) return 0;
    if (batchTxn_) {
      owner_->debug(1, "%s: %s closed inside a batch; its changes are discarded", kName,
                    dataFile_.c_str());
      EndBatch(false);
    }
    readCursors_.Close(indexCount());
    if (readTxn_) mdb_txn_abort(readTxn_);
    readTxn_ = nullptr;
    int rc = 0;
    if (readOnly_) {
      store_.Close();
    } else {
      rc = CloseAndSeal(store_, kName);
    }
    claim_.Release();
    currentId_ = 0;
    walk_ = Walk();
    for (KeyFilter& filter : filters_) filter.Clear();
    return rc;
  }

  // (Re)fills index `i`'s filter with every key the index holds in `txn`.
  // The filter only saves work: should the scan fail, it is dropped (and
  // then answers "maybe" to every key) and the failure logged.
  void BuildFilter(MDB_txn* txn, int i) {
    static const char kName[] = "TCtreeTable::BuildFilter";
    KeyFilter& filter = filters_[i];
    MDB_stat st;
    MDB_cursor* c;
    int rc = mdb_stat(txn, store_.index[i], &st);
    if (!rc) rc = mdb_cursor_open(txn, store_.index[i], &c);
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
    Report(kName, Lmdb(rc));
  }

  // ---- transactions ---------------------------------------------------------------

  void ForgetPositions() {
    recordAt_ = 0;
    std::fill(std::begin(indexStamp_), std::end(indexStamp_), 0);
  }

  int BeginOp(Op& op, bool write) {
    if (!store_.env) return TCT_NOT_OPEN;
    if (write && readOnly_) return TCT_READ_ONLY;
    if (batchTxn_) {
      op.txn = batchTxn_;
      op.cursors = &batchCursors_;
      op.write = true;
      return 0;
    }
    op.own = true;
    op.write = write;
    int rc;
    if (!write) {
      rc = mdb_txn_renew(readTxn_);
      if (!rc && (rc = readCursors_.Renew(readTxn_, indexCount()))) mdb_txn_reset(readTxn_);
      op.txn = readTxn_;
      op.cursors = &readCursors_;
    } else {
      rc = mdb_txn_begin(store_.env, nullptr, 0, &op.txn);
      if (!rc && (rc = op.local.Open(op.txn, store_, indexCount()))) mdb_txn_abort(op.txn);
      op.cursors = &op.local;
    }
    return Lmdb(rc);
  }

  int StoreNextId(MDB_txn* txn) {
    if (nextId_ == storedNextId_) return 0;
    unsigned char id[kIdLength];
    PutId(nextId_, id);
    MDB_val key = TextVal(kNextIdKey), data = Val(id, sizeof(id));
    return Lmdb(mdb_put(txn, store_.meta, &key, &data, 0));
  }

  // Ends the call's own txn (commit on success); inside a batch, notes a
  // failure that left the batch half-changed.
  int EndOp(Op& op, int rc, const char* name) {
    if (!op.own) {
      if (rc && op.changing && !batchFailure_) batchFailure_ = rc;
      return Report(name, rc);
    }
    ForgetPositions();
    if (!op.write) {
      mdb_txn_reset(op.txn);
      return Report(name, rc);
    }
    if (!rc) rc = StoreNextId(op.txn);
    op.local.Close(indexCount());
    if (rc) {
      mdb_txn_abort(op.txn);
    } else if (!(rc = Lmdb(mdb_txn_commit(op.txn)))) {
      storedNextId_ = nextId_;
    }
    return Report(name, rc);
  }

  int BeginBatch() {
    static const char kName[] = "TCtreeTable::BeginBatch";
    if (!store_.env) return TCT_NOT_OPEN;
    if (readOnly_) return TCT_READ_ONLY;
    if (batchTxn_) return TCT_BATCH;
    int rc = mdb_txn_begin(store_.env, nullptr, 0, &batchTxn_);
    if (!rc && (rc = batchCursors_.Open(batchTxn_, store_, indexCount()))) {
      mdb_txn_abort(batchTxn_);
    }
    if (rc) batchTxn_ = nullptr;
    batchFailure_ = 0;
    ForgetPositions();
    return Report(kName, Lmdb(rc));
  }

  // Ids handed out in an aborted batch are not given again in this session,
  // so a remembered position never names a different record.
  int EndBatch(bool commit) {
    static const char kName[] = "TCtreeTable::EndBatch";
    if (!batchTxn_) return TCT_BATCH;
    int rc = commit ? batchFailure_ : 0;
    if (commit && !rc) rc = StoreNextId(batchTxn_);
    batchCursors_.Close(indexCount());
    if (commit && !rc) {
      if (!(rc = Lmdb(mdb_txn_commit(batchTxn_)))) storedNextId_ = nextId_;
    } else {
      mdb_txn_abort(batchTxn_);
    }
    batchTxn_ = nullptr;
    batchFailure_ = 0;
    ForgetPositions();
    return Report(kName, rc);
  }

  // ---- reads ------------------------------------------------------------------------

  int CheckIndex(int index, const void* buffer) const {
    if (!store_.env) return TCT_NOT_OPEN;
    if (index < 0 || index >= indexCount() || !buffer) return TCT_ARGUMENT;
    return 0;
  }

  int FinishRead(int rc) {
    lastReadRc_ = rc;
    if (rc) currentId_ = 0;
    return rc;
  }

  // Positions the record cursor on record `id`.
  int FetchRecord(Op& op, uint64_t id, MDB_val* data) {
    unsigned char idKey[kIdLength];
    PutId(id, idKey);
    MDB_val key = Val(idKey, sizeof(idKey));
    const int rc = mdb_cursor_get(op.cursors->record, &key, data,
                                  recordAt_ == id ? MDB_GET_CURRENT : MDB_SET);
    recordAt_ = rc ? 0 : id;
    if (rc) return Lmdb(rc);
    if (data->mv_size != decl_.recordLength) return Corrupt("TCtreeTable", "record of bad length");
    return 0;
  }

  // Reads the record of index entry (k, d) into `out`; it becomes current
  // and the walk's position. kStale for a stale entry of a lazy index.
  int Visit(Op& op, const MDB_val& k, const MDB_val& d, void* out) {
    const int index = walk_.index;
    if (k.mv_size != static_cast<size_t>(keyLength(index)) || d.mv_size != kIdLength)
      return Corrupt("TCtreeTable", "index entry of bad size");
    const IndexDef& def = decl_.indexes[index];
    const uint64_t id = GetId(d.mv_data);
    MDB_val data;
    int rc = FetchRecord(op, id, &data);
    if (rc == TCT_NOT_FOUND) {
      return def.lazy ? kStale : Corrupt("TCtreeTable", "index entry without its record");
    }
    if (rc) return rc;
    if (def.lazy) {
      unsigned char key[kMaxKeyLength];
      BuildKey(def, data.mv_data, key);
      if (memcmp(key, k.mv_data, k.mv_size) != 0) return kStale;
    }
    memcpy(out, data.mv_data, decl_.recordLength);
    memmove(walk_.key, k.mv_data, k.mv_size);
    walk_.id = id;
    walk_.positioned = true;
    walk_.stamp = indexStamp_[index] = ++stampSeq_;
    currentId_ = id;
    return 0;
  }

  // Puts cursor `c` on the first entry at or after (key, id). `key` must
  // outlive the use of *k: LMDB hands the probe back when the key exists.
  int SeekFrom(MDB_cursor* c, const unsigned char* key, int keyLen, uint64_t id, MDB_val* k,
               MDB_val* d) {
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

  bool IsWalkEntry(const MDB_val& k, const MDB_val& d) const {
    return k.mv_size == static_cast<size_t>(keyLength(walk_.index)) && d.mv_size == kIdLength &&
           memcmp(k.mv_data, walk_.key, k.mv_size) == 0 && GetId(d.mv_data) == walk_.id;
  }

  bool TakeMovedAhead(const MDB_val& k, uint64_t id) {
    auto& moved = walk_.movedAhead;
    auto it = std::find_if(moved.begin(), moved.end(), [&](const Walk::Moved& m) {
      return m.id == id && m.key.size() == k.mv_size &&
             memcmp(m.key.data(), k.mv_data, k.mv_size) == 0;
    });
    if (it == moved.end()) return false;
    *it = std::move(moved.back());
    moved.pop_back();
    return true;
  }

  // Moves the walk's cursor to the entry after its position (the follower,
  // when the record there was moved away or deleted).
  int Advance(Op& op, bool inSet, MDB_val* k, MDB_val* d) {
    const int index = walk_.index, keyLen = keyLength(index);
    MDB_cursor* c = op.cursors->index[index];
    const MDB_cursor_op next = inSet && walk_.setLength == keyLen ? MDB_NEXT_DUP : MDB_NEXT;
    for (;;) {
      int rc;
      if (walk_.stamp != 0 && indexStamp_[index] == walk_.stamp) {
        rc = mdb_cursor_get(c, k, d, next);
      } else {
        rc = SeekFrom(c, walk_.key, keyLen, walk_.id, k, d);
        if (rc == 0 && IsWalkEntry(*k, *d)) rc = mdb_cursor_get(c, k, d, next);
      }
      if (rc == 0 && (k->mv_size != static_cast<size_t>(keyLen) || d->mv_size != kIdLength))
        return Corrupt("TCtreeTable", "index entry of bad size");
      if (rc == 0 && inSet && memcmp(k->mv_data, walk_.key, walk_.setLength) != 0)
        rc = MDB_NOTFOUND;
      if (rc) {
        indexStamp_[index] = 0;
        return Lmdb(rc);
      }
      if (walk_.movedAhead.empty() || !TakeMovedAhead(*k, GetId(d->mv_data))) return 0;
      // Passed over: the walk now stands on it. (k may be the walk's own
      // key, handed back by LMDB as the probe of a seek: hence memmove.)
      memmove(walk_.key, k->mv_data, keyLen);
      walk_.id = GetId(d->mv_data);
      walk_.stamp = indexStamp_[index] = ++stampSeq_;
    }
  }

  // Moves the walk past the stale entry (k, d) of a lazy index, onto the
  // next entry. The walk stands on the stale entry meanwhile, so that
  // Advance finds its follower whether or not the entry is still there; a
  // walk inside a write transaction deletes it.
  int PassStale(Op& op, bool inSet, MDB_val* k, MDB_val* d) {
    const int index = walk_.index;
    memmove(walk_.key, k->mv_data, k->mv_size);  // may be the probe LMDB handed back
    walk_.id = GetId(d->mv_data);
    walk_.positioned = true;
    if (op.write) {
      indexStamp_[index] = 0;
      // Done or not done: only a failed delete leaves the batch half-changed.
      if (int rc = mdb_cursor_del(op.cursors->index[index], 0)) {
        op.changing = true;
        return Lmdb(rc);
      }
    } else {
      walk_.stamp = indexStamp_[index] = ++stampSeq_;  // the cursor stands on it
    }
    return Advance(op, inSet, k, d);
  }

  // Visits entry (k, d), or the first entry after it that is not stale.
  int VisitLive(Op& op, bool inSet, MDB_val* k, MDB_val* d, void* out) {
    int rc = Visit(op, *k, *d, out);
    while (rc == kStale && (rc = PassStale(op, inSet, k, d)) == 0) rc = Visit(op, *k, *d, out);
    return rc;
  }

  // firstInSet (set walk) and getGTERecord (ordered walk).
  int StartWalk(Walk::Kind kind, int index, const void* key, void* out, int setLength,
                const char* name) {
    int rc = CheckIndex(index, out);
    if (!rc && !key) rc = TCT_ARGUMENT;
    const int keyLen = rc ? 0 : keyLength(index);
    if (!rc && kind == Walk::kSet && (setLength <= 0 || setLength > keyLen)) rc = TCT_BAD_KEY;
    if (rc) return FinishRead(rc);
    walk_.kind = kind;
    walk_.index = index;
    walk_.setLength = setLength;
    walk_.positioned = false;
    walk_.movedAhead.clear();
    currentId_ = 0;
    const bool wholeKey = kind == Walk::kSet && setLength == keyLen;
    if (wholeKey && decl_.indexes[index].filtered &&
        !filters_[index].MayContain(key, keyLen))
      return FinishRead(TCT_NOT_FOUND);  // surely absent: no transaction, no descent
    Op op;
    if ((rc = BeginOp(op, false))) return FinishRead(rc);
    MDB_cursor* c = op.cursors->index[index];
    MDB_val k, d;
    unsigned char probe[kMaxKeyLength] = {};
    if (wholeKey) {
      k = Val(key, keyLen);
      rc = mdb_cursor_get(c, &k, &d, MDB_SET);
    } else {
      const bool set = kind == Walk::kSet;
      memcpy(probe, key, set ? setLength : keyLen);
      const uint64_t from = set ? 0 : GetId(static_cast<const unsigned char*>(key) + keyLen);
      rc = SeekFrom(c, probe, keyLen, from, &k, &d);
      if (!rc && set && memcmp(k.mv_data, key, setLength) != 0) rc = MDB_NOTFOUND;
    }
    rc = Lmdb(rc);
    if (!rc) rc = VisitLive(op, kind == Walk::kSet, &k, &d, out);
    return FinishRead(EndOp(op, rc, name));
  }

  // nextInSet (inSet) and nextRecord.
  int Step(int index, bool inSet, void* out, const char* name) {
    int rc = CheckIndex(index, out);
    if (!rc && (walk_.kind == Walk::kNone || walk_.index != index ||
                (inSet && walk_.kind != Walk::kSet)))
      rc = TCT_NO_CURRENT;
    if (rc) return FinishRead(rc);
    if (!inSet) walk_.kind = Walk::kOrdered;
    if (!walk_.positioned) return FinishRead(TCT_NOT_FOUND);
    currentId_ = 0;
    Op op;
    if ((rc = BeginOp(op, false))) return FinishRead(rc);
    MDB_val k, d;
    rc = Advance(op, inSet, &k, &d);
    if (!rc) rc = VisitLive(op, inSet, &k, &d, out);
    return FinishRead(EndOp(op, rc, name));
  }

  long long RecordCount() {
    Op op;
    if (BeginOp(op, false)) return -1;
    MDB_stat st;
    const int rc = EndOp(op, Lmdb(mdb_stat(op.txn, store_.records, &st)),
                         "TCtreeTable::getRecordCount");
    return rc ? -1 : static_cast<long long>(st.ms_entries);
  }

  // ---- changes ------------------------------------------------------------------------

  // Whether index `index`'s cursor still stands on the walk's entry and
  // that entry is (key, id): nothing has moved the cursor since the walk
  // read it there.
  bool CursorOnWalkEntry(int index, const unsigned char* key, const unsigned char* idBytes) const {
    return walk_.kind != Walk::kNone && walk_.index == index && walk_.positioned &&
           walk_.stamp != 0 && indexStamp_[index] == walk_.stamp &&
           walk_.id == GetId(idBytes) && memcmp(walk_.key, key, keyLength(index)) == 0;
  }

  // Deleting the record a walk stands on (clean-up deletes every record of
  // its walk) needs no search for the walk's own entry.
  int DeleteEntry(Op& op, int index, const unsigned char* key, const unsigned char* idBytes) {
    MDB_cursor* c = op.cursors->index[index];
    MDB_val k = Val(key, keyLength(index)), d = Val(idBytes, kIdLength);
    const bool there = CursorOnWalkEntry(index, key, idBytes);
    indexStamp_[index] = 0;
    int rc = there ? 0 : mdb_cursor_get(c, &k, &d, MDB_GET_BOTH);
    if (rc == MDB_NOTFOUND) return Corrupt("TCtreeTable", "index lacks an entry of its record");
    if (!rc) rc = mdb_cursor_del(c, 0);
    return Lmdb(rc);
  }

  // A lazy index may still hold the entry from the record's earlier stay at
  // that key; an eager one holding it is damaged.
  int PutEntry(Op& op, int index, const unsigned char* key, const unsigned char* idBytes,
               unsigned flags) {
    MDB_val k = Val(key, keyLength(index)), d = Val(idBytes, kIdLength);
    indexStamp_[index] = 0;
    const int rc = mdb_cursor_put(op.cursors->index[index], &k, &d, flags | MDB_NODUPDATA);
    if (decl_.indexes[index].filtered && (rc == 0 || rc == MDB_KEYEXIST)) {
      KeyFilter& filter = filters_[index];
      filter.Add(key, k.mv_size);
      if (filter.full()) BuildFilter(op.txn, index);  // twice the size: amortised
    }
    if (rc == MDB_KEYEXIST)
      return decl_.indexes[index].lazy ? 0 : Corrupt("TCtreeTable", "index entry twice");
    return Lmdb(rc);
  }

  int Add(const void* record) {
    static const char kName[] = "TCtreeTable::addRecord";
    if (!record) return store_.env ? TCT_ARGUMENT : TCT_NOT_OPEN;
    Op op;
    int rc = BeginOp(op, true);
    if (rc) return rc;
    unsigned char idBytes[kIdLength];
    PutId(nextId_, idBytes);
    MDB_val k = Val(idBytes, sizeof(idBytes)), d = Val(record, decl_.recordLength);
    op.changing = true;
    rc = Lmdb(mdb_cursor_put(op.cursors->record, &k, &d, MDB_APPEND));
    recordAt_ = rc ? 0 : nextId_;
    unsigned char key[kMaxKeyLength];
    for (int i = 0; rc == 0 && i < indexCount(); ++i) {
      BuildKey(decl_.indexes[i], record, key);
      rc = PutEntry(op, i, key, idBytes, MDB_APPENDDUP);
    }
    if (!rc) ++nextId_;
    return EndOp(op, rc, kName);
  }

  // Positions the record cursor on the current record.
  int FetchCurrent(Op& op, MDB_val* data) {
    if (!currentId_) return TCT_NO_CURRENT;
    const int rc = FetchRecord(op, currentId_, data);
    return rc == TCT_NOT_FOUND ? TCT_NO_CURRENT : rc;
  }

  int Modify(const void* record) {
    static const char kName[] = "TCtreeTable::modifyRecord";
    if (!record) return store_.env ? TCT_ARGUMENT : TCT_NOT_OPEN;
    Op op;
    int rc = BeginOp(op, true);
    if (rc) return rc;
    MDB_val old;
    if ((rc = FetchCurrent(op, &old)) || memcmp(old.mv_data, record, decl_.recordLength) == 0)
      return EndOp(op, rc, kName);
    unsigned char idBytes[kIdLength];
    PutId(currentId_, idBytes);
    unsigned char oldKeys[kMaxIndexes][kMaxKeyLength], newKeys[kMaxIndexes][kMaxKeyLength];
    bool moved[kMaxIndexes];
    for (int i = 0; i < indexCount(); ++i) {
      BuildKey(decl_.indexes[i], old.mv_data, oldKeys[i]);
      BuildKey(decl_.indexes[i], record, newKeys[i]);
      moved[i] = memcmp(oldKeys[i], newKeys[i], keyLength(i)) != 0;
    }
    op.changing = true;
    for (int i = 0; rc == 0 && i < indexCount(); ++i)
      if (moved[i] && !decl_.indexes[i].lazy) rc = DeleteEntry(op, i, oldKeys[i], idBytes);
    MDB_val k = Val(idBytes, sizeof(idBytes)), d = Val(record, decl_.recordLength);
    if (!rc) rc = Lmdb(mdb_cursor_put(op.cursors->record, &k, &d, MDB_CURRENT));
    for (int i = 0; rc == 0 && i < indexCount(); ++i) {
      if (!moved[i]) continue;
      rc = PutEntry(op, i, newKeys[i], idBytes, 0);
      NoteMove(i, newKeys[i]);
    }
    return EndOp(op, rc, kName);
  }

  // The current record is the walk's; remember it when its new key lies
  // ahead of the walk, which would otherwise meet it a second time.
  void NoteMove(int index, const unsigned char* newKey) {
    if (walk_.kind == Walk::kNone || walk_.index != index || !walk_.positioned ||
        walk_.id != currentId_)
      return;
    const int keyLen = keyLength(index);
    if (memcmp(newKey, walk_.key, keyLen) <= 0) return;
    std::string key(reinterpret_cast<const char*>(newKey), keyLen);
    auto& moved = walk_.movedAhead;
    auto it = std::find_if(moved.begin(), moved.end(),
                           [&](const Walk::Moved& m) { return m.id == walk_.id; });
    if (it == moved.end()) {
      moved.push_back(Walk::Moved{walk_.id, std::move(key)});
    } else {
      it->key = std::move(key);  // moved twice: only the last entry is its own
    }
  }

  int Delete() {
    static const char kName[] = "TCtreeTable::deleteRecord";
    Op op;
    int rc = BeginOp(op, true);
    if (rc) return rc;
    MDB_val old;
    if ((rc = FetchCurrent(op, &old))) return EndOp(op, rc, kName);
    unsigned char idBytes[kIdLength];
    PutId(currentId_, idBytes);
    unsigned char keys[kMaxIndexes][kMaxKeyLength];
    for (int i = 0; i < indexCount(); ++i) BuildKey(decl_.indexes[i], old.mv_data, keys[i]);
    op.changing = true;
    for (int i = 0; rc == 0 && i < indexCount(); ++i) rc = DeleteEntry(op, i, keys[i], idBytes);
    if (!rc) rc = Lmdb(mdb_cursor_del(op.cursors->record, 0));
    recordAt_ = 0;
    rc = EndOp(op, rc, kName);
    if (!rc) currentId_ = 0;
    return rc;
  }

  // ---- maintenance ------------------------------------------------------------------

  int CheckMaintenance(const char* name) {
    if (!decl_.complete) return SchemaError(name, "declaration incomplete");
    if (store_.env) return TCT_ALREADY_OPEN;
    return 0;
  }

  int MakeCompact() {
    static const char kName[] = "TCtreeTable::MakeCompact";
    int rc = CheckMaintenance(kName);
    if (rc) return rc;
    FileClaim claim;
    Store s;
    // Read-only: the file and its seal stay as they are until the rename.
    if ((rc = OpenExisting(s, claim, Purpose::kMaintain, true, kName))) return rc;
    struct stat before;
    if (stat(dataFile_.c_str(), &before) != 0) before.st_size = 0;
    const std::string temp = dataFile_ + ".compact";
    if (unlink(temp.c_str()) != 0 && errno != ENOENT) return Report(kName, Io(errno));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return Report(kName, Io(errno));
    rc = Report(kName, Lmdb(mdb_env_copyfd2(s.env, fd, MDB_CP_COMPACT)));
    if (!rc && fsync(fd) != 0) rc = Report(kName, Io(errno));
    struct stat after;
    if (fstat(fd, &after) != 0) after.st_size = 0;
    ::close(fd);
    s.Close();
    if (!rc && rename(temp.c_str(), dataFile_.c_str()) != 0) rc = Report(kName, Io(errno));
    if (rc) {
      unlink(temp.c_str());
      return rc;
    }
    // The old seal does not match the new file; until this one is in place
    // the table is refused. The folder sync also makes the rename durable.
    if ((rc = WriteSeal(kName))) return rc;
    owner_->debug(1, "%s: %s compacted from %lld to %lld bytes", kName, dataFile_.c_str(),
                  static_cast<long long>(before.st_size), static_cast<long long>(after.st_size));
    return 0;
  }

  // Calls fn(id bytes, record image) for every record, in id order.
  template <typename Fn>
  int ForEachRecord(MDB_cursor* records, Fn fn) {
    MDB_val k, d;
    int rc = mdb_cursor_get(records, &k, &d, MDB_FIRST);
    for (; rc == 0; rc = mdb_cursor_get(records, &k, &d, MDB_NEXT)) {
      if (k.mv_size != kIdLength || d.mv_size != decl_.recordLength)
        return Corrupt("TCtreeTable", "record of bad size");
      if (int failed = fn(static_cast<const unsigned char*>(k.mv_data), d.mv_data)) return failed;
    }
    return rc == MDB_NOTFOUND ? 0 : Lmdb(rc);
  }

  // Whether index `i` holds exactly one entry per record: as many entries as
  // records, and each record's entry present (ids are unique).
  int IndexAgrees(MDB_txn* txn, const Store& s, MDB_cursor* records, int i, MDB_dbi dbi,
                  bool* agrees) {
    MDB_stat rs, is;
    int rc = mdb_stat(txn, s.records, &rs);
    if (!rc) rc = mdb_stat(txn, dbi, &is);
    if (rc) return Lmdb(rc);
    *agrees = rs.ms_entries == is.ms_entries;
    if (!*agrees) return 0;
    MDB_cursor* c;
    if ((rc = mdb_cursor_open(txn, dbi, &c))) return Lmdb(rc);
    unsigned char key[kMaxKeyLength];
    rc = ForEachRecord(records, [&](const unsigned char* id, const void* image) {
      BuildKey(decl_.indexes[i], image, key);
      MDB_val k = Val(key, keyLength(i)), d = Val(id, kIdLength);
      const int found = mdb_cursor_get(c, &k, &d, MDB_GET_BOTH);
      if (found == MDB_NOTFOUND) *agrees = false;
      return found == MDB_NOTFOUND ? -1 : Lmdb(found);
    });
    mdb_cursor_close(c);
    return rc == -1 ? 0 : rc;
  }

  int FillIndex(MDB_txn* txn, MDB_cursor* records, int i, MDB_dbi dbi) {
    int rc = mdb_drop(txn, dbi, 0);
    MDB_cursor* c;
    if (rc || (rc = mdb_cursor_open(txn, dbi, &c))) return Lmdb(rc);
    unsigned char key[kMaxKeyLength];
    rc = ForEachRecord(records, [&](const unsigned char* id, const void* image) {
      BuildKey(decl_.indexes[i], image, key);
      MDB_val k = Val(key, keyLength(i)), d = Val(id, kIdLength);
      return Lmdb(mdb_cursor_put(c, &k, &d, MDB_APPENDDUP));
    });
    mdb_cursor_close(c);
    return rc;
  }

  // Removes the seal before the first change a maintenance txn makes.
  int Unseal(bool* unsealed) {
    if (*unsealed) return 0;
    *unsealed = true;
    return RemoveSeal();
  }

  int Reindex(MDB_txn* txn, Store& s, bool* unsealed, const char* name) {
    MDB_cursor* records;
    int rc = Lmdb(mdb_cursor_open(txn, s.records, &records));
    if (rc) return rc;
    for (int i = 0; rc == 0 && i < indexCount(); ++i) {
      const std::string db = IndexDbName(i);
      MDB_dbi dbi;
      bool agrees = false;
      rc = OpenDb(txn, db.c_str(), kIndexFlags, &dbi, name);
      if (rc == TCT_NOT_FOUND) {
        rc = 0;  // made below
      } else if (rc == 0) {
        rc = IndexAgrees(txn, s, records, i, dbi, &agrees);
      }
      if (rc || agrees) continue;
      if (!(rc = Unseal(unsealed)))
        rc = OpenDb(txn, db.c_str(), kIndexFlags | MDB_CREATE, &dbi, name);
      if (!rc) rc = FillIndex(txn, records, i, dbi);
      if (!rc)
        owner_->debug(1, "%s: %s: index %d (%s) rebuilt from the records", name,
                      dataFile_.c_str(), i, decl_.indexes[i].name.c_str());
    }
    mdb_cursor_close(records);
    return rc;
  }

  // An index that agrees is left alone, and a table that needs nothing
  // keeps its file and its seal untouched.
  int ReBuildIndex() {
    static const char kName[] = "TCtreeTable::ReBuildIndex";
    int rc = CheckMaintenance(kName);
    if (rc) return rc;
    FileClaim claim;
    Store s;
    if ((rc = OpenExisting(s, claim, Purpose::kMaintain, false, kName))) return rc;
    MDB_txn* txn;
    if ((rc = Lmdb(mdb_txn_begin(s.env, nullptr, 0, &txn)))) return Report(kName, rc);
    bool unsealed = false;
    rc = Reindex(txn, s, &unsealed, kName);
    if (!rc && s.nextId != s.storedNextId && !(rc = Unseal(&unsealed))) {
      // Bring the id counter past every record as well.
      unsigned char id[kIdLength];
      PutId(s.nextId, id);
      MDB_val key = TextVal(kNextIdKey), data = Val(id, sizeof(id));
      rc = Lmdb(mdb_put(txn, s.meta, &key, &data, 0));
    }
    if (rc || !unsealed) {
      mdb_txn_abort(txn);
    } else {
      rc = Lmdb(mdb_txn_commit(txn));
    }
    rc = Report(kName, rc);
    // Committed or not, LMDB leaves a consistent file once it is synced.
    const int sealed = unsealed ? CloseAndSeal(s, kName) : 0;
    return rc ? rc : sealed;
  }
};

// ---- TCtreeTable: forwarding ---------------------------------------------------------

TCtreeTable::TCtreeTable() : impl_(new Impl(this)) {}

TCtreeTable::~TCtreeTable() { impl_->Close(); }

int TCtreeTable::internalInitialize(const char* fileName, unsigned int reserved,
                                    unsigned int fieldCount, unsigned int indexCount,
                                    unsigned int segmentCount, unsigned int recordLength,
                                    unsigned int maxRecordLength) {
  return impl_->InternalInitialize(fileName, fieldCount, indexCount, segmentCount, recordLength,
                                   maxRecordLength);
}

int TCtreeTable::setNextField(const char* name, unsigned long offset, short typeCode,
                              short length) {
  return impl_->SetNextField(name, offset, typeCode, length);
}

int TCtreeTable::setNextIndex(const char* name, short keyLength, TKeyType keyType,
                              short duplicates, short reserved1, short reserved2,
                              short segmentCount, short indexNumber) {
  return impl_->SetNextIndex(name, keyLength, keyType, duplicates, segmentCount, indexNumber);
}

int TCtreeTable::setNextSegment(short fieldNumber, short length, char mode) {
  return impl_->SetNextSegment(fieldNumber, length, mode);
}

int TCtreeTable::initializeComplete() {
  if (int rc = impl_->CheckComplete()) return rc;
  registerTable();
  int tableVersion = kTableFormatVersion;
  adjustTableVersion(impl_->decl_.baseName.c_str(), tableVersion);
  processTableVersionExternal(tableVersion);
  int indexVersion = impl_->indexVersion_;
  processIndexVersionExternal(indexVersion);
  impl_->decl_.tableVersion = tableVersion;
  impl_->decl_.complete = true;
  return 0;
}

int TCtreeTable::setLazyIndex(int indexNumber) {
  return impl_->SetIndexFlag(indexNumber, &IndexDef::lazy);
}

int TCtreeTable::setFilteredIndex(int indexNumber) {
  return impl_->SetIndexFlag(indexNumber, &IndexDef::filtered);
}

void TCtreeTable::setnodeSize(int nodeSize) { gNodeSize.store(nodeSize); }

int TCtreeTable::getnodeSize() { return gNodeSize.load(); }

void TCtreeTable::internalRegisterTable(short bufferCount, short fileCount,
                                        short indexBufferCount) {
  impl_->bufferCount_ = bufferCount;
  impl_->fileCount_ = fileCount;
  impl_->indexBufferCount_ = indexBufferCount;
}

short TCtreeTable::bufferCount() const { return impl_->bufferCount_; }

void TCtreeTable::registerTable() {}

const char* TCtreeTable::getTableType() { return "TCtreeTable"; }

int TCtreeTable::createHugeFile() { return 1; }

int TCtreeTable::adjustTableVersion(const char* fileName, int& version) { return 0; }

int TCtreeTable::processTableVersionExternal(int& version) { return 0; }

int TCtreeTable::processIndexVersionExternal(int& version) {
  impl_->indexVersion_ = 3;
  return 0;
}

int TCtreeTable::indexVersion() const { return impl_->indexVersion_; }

int TCtreeTable::create() { return impl_->Create(); }

int TCtreeTable::open(ZelIndexing::TAccessEnum access) { return impl_->Open(access); }

int TCtreeTable::close() { return impl_->Close(); }

bool TCtreeTable::isOpen() const { return impl_->store_.env != nullptr; }

long long TCtreeTable::getRecordCount() { return impl_->RecordCount(); }

int TCtreeTable::fillKeySegment(char** cursor, int* left, const void* value, int segment,
                                int indexNumber, int reserved) {
  const KeyPart* part = impl_->Part(indexNumber, segment);
  if (!part || !cursor || !*cursor || !left || !value) return -TCT_ARGUMENT;
  if (*left < part->length) return -TCT_BAD_KEY;
  EncodeSegment(*part, value, reinterpret_cast<unsigned char*>(*cursor));
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
  return impl_->StartWalk(Impl::Walk::kSet, indexNumber, key, record, setLength,
                          "TCtreeTable::firstInSet");
}

int TCtreeTable::nextInSet(int indexNumber, void* record) {
  return impl_->Step(indexNumber, true, record, "TCtreeTable::nextInSet");
}

int TCtreeTable::getGTERecord(int indexNumber, void* key, void* record) {
  return impl_->StartWalk(Impl::Walk::kOrdered, indexNumber, key, record, 0,
                          "TCtreeTable::getGTERecord");
}

int TCtreeTable::nextRecord(int indexNumber, void* record) {
  return impl_->Step(indexNumber, false, record, "TCtreeTable::nextRecord");
}

int TCtreeTable::noRecordFound() { return impl_->lastReadRc_ == TCT_NOT_FOUND; }

const char* TCtreeTable::errToString(int code) { return impl_->ErrorText(code); }

int TCtreeTable::addRecord(void* record) { return impl_->Add(record); }

int TCtreeTable::modifyRecord(void* record) { return impl_->Modify(record); }

int TCtreeTable::deleteRecord() { return impl_->Delete(); }

int TCtreeTable::BeginBatch() { return impl_->BeginBatch(); }

int TCtreeTable::EndBatch(bool commit) { return impl_->EndBatch(commit); }

bool TCtreeTable::InBatch() const { return impl_->batchTxn_ != nullptr; }

int TCtreeTable::MakeCompact() { return impl_->MakeCompact(); }

int TCtreeTable::ReBuildIndex() { return impl_->ReBuildIndex(); }

const std::string& TCtreeTable::dataFileName() const { return impl_->dataFile_; }
