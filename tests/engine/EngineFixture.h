// Shared set-up of the engine tests: a table with the cache table's record
// layout and indexes, declared directly to the engine, records tagged so
// walks can be compared, and raw access to the table file and its seal.
#pragma once

#include <endian.h>
#include <gtest/gtest.h>
#include <lmdb.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "cldb/CLDBTypes.h"
#include "platform/CTkCRC64.h"
#include "platform/TCtreeTable.h"

namespace enginetest {

enum { kCrc = 0, kAfid = 1 };
using Tags = std::vector<uint64_t>;

// The cache table's schema; `recordLength` and `spareType` vary it.
class TestTable : public TCtreeTable {
 public:
  int Declare(const std::string& base, unsigned recordLength = 120, short spareType = 59) {
    int rc = internalInitialize(base.c_str(), 0, 12, 2, 2, recordLength, recordLength);
    static const struct {
      const char* name;
      unsigned long offset;
      short type, length;
    } kFields[] = {
        {"Spare", 0, 59, 4},          {"tagHdrCount", 4, 59, 4},     {"crc64", 8, 239, 8},
        {"Signature", 16, 128, 64},   {"size", 80, 239, 8},          {"archiveFileId", 88, 59, 4},
        {"ArchivingTime", 92, 59, 4}, {"LastUpdateTime", 96, 59, 4}, {"InsertedTime", 100, 59, 4},
        {"Flags", 104, 59, 4},        {"subStoreID", 108, 59, 4},    {"reserved2", 112, 239, 8}};
    for (const auto& f : kFields)
      rc |= setNextField(f.name, f.offset, f.offset == 0 ? spareType : f.type, f.length);
    rc |= setNextIndex("crc64", 8, 0, 1, 0, 0, 1, kCrc);
    rc |= setNextIndex("archiveFileId", 4, 0, 1, 0, 0, 1, kAfid);
    rc |= setNextSegment(2, 8, 1);
    rc |= setNextSegment(5, 4, 1);
    return rc | initializeComplete();
  }
  void registerTable() override { internalRegisterTable(1000, 20, 1000); }
};

// A record whose `reserved2` carries a tag that names it in the tests.
inline _CacheRecord Rec(uint64_t crc, uint32_t afid, uint64_t tag) {
  return _CacheRecord{0, 0, crc, {}, 0, afid, 0, 0, 0, 0, 0, tag};
}

// The key of `value` in `index`: a crc64 key, or the lowest (or highest)
// position of an archive file.
inline std::array<char, 12> Key(TCtreeTable& t, int index, uint64_t value, bool lowest = true) {
  std::array<char, 12> key{};
  char* cursor = key.data();
  int left = index == kCrc ? 8 : 12;
  const uint32_t afid = static_cast<uint32_t>(value);
  const void* field = index == kCrc ? static_cast<const void*>(&value) : &afid;
  EXPECT_LT(0, t.fillKeySegment(&cursor, &left, field, 0, index, 0));
  EXPECT_EQ(index == kCrc ? 0 : 8, t.finishKey(&cursor, &left, lowest, 0));
  return key;
}

// Tags of the records a walk reads, in order, with `act` run on each: a set
// walk on index 0 over crc64 key `key` (its first `setLength` bytes), or an
// ordered walk on index 1 from archive file `key` on. A walk stops after
// 100000 records, so one that goes round in circles fails.
inline Tags Walk(TCtreeTable& t, int index, uint64_t key,
                 const std::function<void(const _CacheRecord&)>& act = nullptr, int setLength = 8) {
  Tags tags;
  _CacheRecord r;
  auto bytes = Key(t, index, key);
  int rc = index == kCrc ? t.firstInSet(kCrc, bytes.data(), &r, setLength)
                         : t.getGTERecord(kAfid, bytes.data(), &r);
  for (; rc == 0 && tags.size() < 100000;
       rc = index == kCrc ? t.nextInSet(kCrc, &r) : t.nextRecord(kAfid, &r)) {
    tags.push_back(r.reserved2);
    if (act) act(r);
  }
  EXPECT_EQ(TCT_NOT_FOUND, rc);
  return tags;
}

// Whether the open table holds exactly `model` (records by tag, tags in the
// order records were added): every crc64 set and the archive-file walk read
// just their records, each as written.
inline bool Holds(TCtreeTable& t, const std::map<uint64_t, _CacheRecord>& model) {
  std::map<uint64_t, Tags> byCrc;
  Tags all;
  for (const auto& [tag, r] : model) {
    byCrc[r.crc64].push_back(tag);
    all.push_back(tag);
  }
  bool same = t.getRecordCount() == static_cast<long long>(model.size());
  const auto check = [&](const _CacheRecord& r) {
    const auto it = model.find(r.reserved2);
    same = same && it != model.end() && memcmp(&it->second, &r, sizeof(r)) == 0;
  };
  for (const auto& [crc, tags] : byCrc) same = same && Walk(t, kCrc, crc, check) == tags;
  Tags walked = Walk(t, kAfid, 0, check);
  std::sort(walked.begin(), walked.end());
  return same && walked == all;
}

inline long long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}
inline bool Exists(const std::string& path) { return FileSize(path) >= 0; }
inline std::string SealOf(const std::string& base) { return base + ".idx"; }

// Opens a table file straight in LMDB (null on failure), with a 4 GiB map,
// not the 1 TiB the file records: sanitizers leave no room for that one.
inline MDB_env* RawOpen(const std::string& dataFile, unsigned flags) {
  MDB_env* env;
  if (mdb_env_create(&env)) return nullptr;
  mdb_env_set_maxdbs(env, 16);
  mdb_env_set_mapsize(env, size_t{1} << 32);
  if (mdb_env_open(env, dataFile.c_str(), MDB_NOSUBDIR | flags, 0644) == 0) return env;
  mdb_env_close(env);
  return nullptr;
}

// Runs fn(txn, dbi) on sub-database `db` of a closed table file in a
// committed LMDB write txn (none without fn); returns the last txn id.
inline size_t RawChange(const std::string& dataFile, const char* db = nullptr,
                        const std::function<void(MDB_txn*, MDB_dbi)>& fn = nullptr) {
  MDB_txn* txn;
  MDB_dbi dbi;
  MDB_envinfo info;
  MDB_env* env = RawOpen(dataFile, 0);
  if (!env) {
    ADD_FAILURE() << "cannot open " << dataFile;
    return 0;
  }
  if (fn) {
    EXPECT_EQ(0, mdb_txn_begin(env, nullptr, 0, &txn));
    EXPECT_EQ(0, mdb_dbi_open(txn, db, 0, &dbi));
    fn(txn, dbi);
    EXPECT_EQ(0, mdb_txn_commit(txn));
  }
  mdb_env_info(env, &info);
  mdb_env_close(env);
  return info.me_last_txnid;
}

// Entries of sub-database `db` of a closed table file, read without
// changing it (-1 when it cannot be read).
inline long long RawEntries(const std::string& dataFile, const char* db) {
  MDB_txn* txn;
  MDB_dbi dbi;
  MDB_stat st{};
  long long entries = -1;
  MDB_env* env = RawOpen(dataFile, MDB_RDONLY);
  if (!env) return -1;
  if (mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn) == 0) {
    if (mdb_dbi_open(txn, db, 0, &dbi) == 0 && mdb_stat(txn, dbi, &st) == 0)
      entries = static_cast<long long>(st.ms_entries);
    mdb_txn_abort(txn);
  }
  mdb_env_close(env);
  return entries;
}

// The root page of an LMDB file's main database, from its newest meta page
// (~0 for none). Written from LMDB 0.9's page layout (64-bit), apart from
// the engine's own reader: a meta page's transaction id lies 144 bytes into
// it, the main database's root 128 bytes.
inline uint64_t MainRoot(const std::string& data) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const auto word = [&](size_t at) {
    uint64_t value = 0;
    if (at + sizeof(value) <= data.size()) memcpy(&value, data.data() + at, sizeof(value));
    return value;
  };
  const size_t newest = word(144) < word(page + 144) ? page : 0;
  return word(newest + 128);
}

// CRC-64 of the pages every tree of an LMDB file hangs from, as the seal
// fingerprints them: both meta pages and the main database's root page.
inline unsigned long long HeadCrc(const std::string& data) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (data.size() < 2 * page) return 0;
  const uint64_t root = MainRoot(data);
  std::string head = data.substr(0, 2 * page);
  if (root != ~uint64_t{0} && (root + 1) * page <= data.size())
    head += data.substr(root * page, page);
  return CTkCRC64::Compute(head.data(), static_cast<unsigned>(head.size()));
}

// Vouches for the data file as it now stands, as a clean close would: the
// seal's "file", "times" and "head" lines are rewritten. For tests that
// change a closed table behind the engine's back on purpose.
inline void Reseal(const std::string& base) {
  const std::string data = cldbtest::ReadFile(base + ".dat");
  const std::string seal = cldbtest::ReadFile(SealOf(base));
  const size_t file = seal.find("\nfile ");
  struct stat st;
  ASSERT_NE(std::string::npos, file) << "no seal to rewrite";
  ASSERT_EQ(0, stat((base + ".dat").c_str(), &st));
  char tail[256];
  snprintf(tail, sizeof(tail),
           "\nfile dev=%llu ino=%llu size=%llu\ntimes mtime=%lld.%09ld ctime=%lld.%09ld\n"
           "head crc64=%016llx\n",
           static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
           static_cast<unsigned long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
           st.st_mtim.tv_nsec, static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec,
           HeadCrc(data));
  cldbtest::WriteFile(SealOf(base), seal.substr(0, file) + tail);
}

// Sets the seal's identity lines back to the damaged file, keeping the head
// fingerprint the clean close wrote.
inline void ForgeIdentity(const std::string& base) {
  const std::string sealed = cldbtest::ReadFile(SealOf(base));
  Reseal(base);
  const std::string forged = cldbtest::ReadFile(SealOf(base));
  cldbtest::WriteFile(SealOf(base), forged.substr(0, forged.find("\nhead ")) +
                                        sealed.substr(sealed.find("\nhead ")));
}

// For RawChange on "index1": files record `id` under archive file `to`
// instead of `from`. The entry counts still agree, so the table opens.
inline std::function<void(MDB_txn*, MDB_dbi)> Misfile(uint64_t id, uint32_t from, uint32_t to) {
  return [=](MDB_txn* txn, MDB_dbi dbi) {
    uint64_t idBytes = htobe64(id);
    uint32_t was = htobe32(from), now = htobe32(to);
    MDB_val k{4, &was}, d{8, &idBytes};
    ASSERT_EQ(0, mdb_del(txn, dbi, &k, &d));
    k.mv_data = &now;
    ASSERT_EQ(0, mdb_put(txn, dbi, &k, &d, 0));
  };
}

// Runs `body` in a child process, which exits with what it returns.
inline pid_t Spawn(const std::function<int()>& body) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

inline bool KilledBySigkill(pid_t child) {
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// A child process that holds table `base` open with `access` until killed;
// `rc` gets the open's result (-1 when none came back).
inline pid_t HoldOpen(const std::string& base, ZelIndexing::TAccessEnum access, int& rc) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t child = Spawn([&] {
    TestTable t;
    const char result = static_cast<char>(t.Declare(base) | t.open(access));
    if (write(ready[1], &result, 1) == 1) pause();
    return 1;
  });
  char result = -1;
  rc = read(ready[0], &result, 1) == 1 ? result : -1;
  for (int fd : ready) close(fd);
  return child;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, table.Declare(base));
    if (lazyAfid) {
      ASSERT_EQ(0, table.setLazyIndex(kAfid));
    }
    if (filteredCrc) {
      ASSERT_EQ(0, table.setFilteredIndex(kCrc));
    }
    ASSERT_EQ(0, table.create());
  }
  void Add(uint64_t crc, uint32_t afid, uint64_t tag) {
    _CacheRecord r = Rec(crc, afid, tag);
    ASSERT_EQ(0, table.addRecord(&r));
  }
  void Reopen() {
    ASSERT_EQ(0, table.close());
    ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  }
  // Rewrites the current record `r` with a changed copy.
  void Rewrite(const _CacheRecord& r, void (*change)(_CacheRecord&), int expected = 0) {
    _CacheRecord copy = r;
    change(copy);
    EXPECT_EQ(expected, table.modifyRecord(&copy));
  }
  std::string Seal() const { return cldbtest::ReadFile(SealOf(base)); }
  // `count` records in one batch: tag i under crc64 key i % 30 and archive
  // file i % 10 (3000 of them make a tree with branch pages).
  void Fill(uint64_t count) {
    cldb::TCtreeBatch batch(table);
    for (uint64_t tag = 0; tag < count; ++tag) Add(tag % 30, static_cast<uint32_t>(tag % 10), tag);
    ASSERT_EQ(0, batch.Commit());
  }
  // Every record that Fill(count) added stands where it belongs in both indexes.
  static void ExpectFilled(TCtreeTable& t, uint64_t count) {
    EXPECT_EQ(static_cast<long long>(count), t.getRecordCount());
    Tags ordered;
    for (uint64_t key = 0; key < 30; ++key) {
      Tags set;
      for (uint64_t tag = key; tag < count; tag += 30) set.push_back(tag);
      ASSERT_EQ(set, Walk(t, kCrc, key));
      for (uint64_t tag = key; key < 10 && tag < count; tag += 10) ordered.push_back(tag);
    }
    EXPECT_EQ(ordered, Walk(t, kAfid, 0));
  }

  cldbtest::TempDir dir;
  std::string base = dir / "CacheTable";
  TestTable table;
  // Set before SetUp: index settings of the cache table.
  bool lazyAfid = false;
  bool filteredCrc = false;
};

}  // namespace enginetest
