// Tables of the first format -- records without their sums, a seal naming
// the whole file's length and CRC-64 -- as earlier versions of the engine
// left them: they open read-only as they are, checked by their content, and
// the first session for changes rewrites them in the present format.
#include "EngineFixture.h"

namespace enginetest {
namespace {

// Runs fn(cursor, key, value) on every entry of `dbi` in turn.
void Each(MDB_txn* txn, MDB_dbi dbi,
          const std::function<void(MDB_cursor*, const MDB_val&, const MDB_val&)>& fn) {
  MDB_cursor* c;
  ASSERT_EQ(0, mdb_cursor_open(txn, dbi, &c));
  MDB_val k, d;
  for (int rc = mdb_cursor_get(c, &k, &d, MDB_FIRST); rc == 0;
       rc = mdb_cursor_get(c, &k, &d, MDB_NEXT))
    fn(c, k, d);
  mdb_cursor_close(c);
}

class EngineUpgrade : public EngineTest {
 protected:
  EngineUpgrade() { lazyAfid = filteredCrc = true; }

  // Rewrites the closed table in the first format, with a seal of its kind:
  // every record cut back to its 120 bytes, the schema's first line naming
  // format 1, no stored filters.
  void MakeFirstFormat() {
    RawChange(base + ".dat", "records", [](MDB_txn* txn, MDB_dbi dbi) {
      std::vector<std::pair<std::string, std::string>> records;
      Each(txn, dbi, [&](MDB_cursor*, const MDB_val& k, const MDB_val& d) {
        EXPECT_EQ(124u, d.mv_size);
        records.emplace_back(std::string(static_cast<const char*>(k.mv_data), k.mv_size),
                             std::string(static_cast<const char*>(d.mv_data), 120));
      });
      for (auto& [key, record] : records) {
        MDB_val k{key.size(), &key[0]}, d{record.size(), &record[0]};
        ASSERT_EQ(0, mdb_put(txn, dbi, &k, &d, 0));
      }
    });
    RawChange(base + ".dat", "meta", [](MDB_txn* txn, MDB_dbi dbi) {
      Each(txn, dbi, [](MDB_cursor* c, const MDB_val& k, const MDB_val&) {
        if (std::string(static_cast<const char*>(k.mv_data), k.mv_size).rfind("filter", 0) == 0) {
          EXPECT_EQ(0, mdb_cursor_del(c, 0));
        }
      });
      MDB_val k, d;
      std::string schema = "schema";
      k = {schema.size(), &schema[0]};
      ASSERT_EQ(0, mdb_get(txn, dbi, &k, &d));
      std::string text(static_cast<const char*>(d.mv_data), d.mv_size);
      ASSERT_EQ(0u, text.find("TCtreeTable 2\n"));
      text[12] = '1';
      d = {text.size(), &text[0]};
      ASSERT_EQ(0, mdb_put(txn, dbi, &k, &d, 0));
    });
    WriteFirstSeal();
  }
  void WriteFirstSeal() {
    const std::string data = cldbtest::ReadFile(base + ".dat"), seal = Seal();
    const size_t machine = seal.find("machine "), end = seal.find('\n', machine);
    char text[256];
    snprintf(text, sizeof(text), "TCtreeTable seal 1\n%s\nsize %zu\ncrc64 %016llx\n",
             seal.substr(machine, end - machine).c_str(), data.size(),
             CTkCRC64::Compute(data.data(), static_cast<unsigned>(data.size())));
    cldbtest::WriteFile(SealOf(base), text);
  }
  // The size of every stored record value (0 when they differ).
  size_t StoredLength() {
    size_t length = 0;
    bool same = true;
    RawChange(base + ".dat", "records", [&](MDB_txn* txn, MDB_dbi dbi) {
      Each(txn, dbi, [&](MDB_cursor*, const MDB_val&, const MDB_val& d) {
        same = same && (length == 0 || length == d.mv_size);
        length = d.mv_size;
      });
    });
    return same ? length : 0;
  }
};

TEST_F(EngineUpgrade, FirstFormatOpensReadOnlyAsItIsAndIsRewrittenForChanges) {
  Fill(3000);
  Walk(table, kCrc, 4, [&](const _CacheRecord& r) {  // stale entries, to be carried over
    Rewrite(r, [](_CacheRecord& c) { c.archiveFileId = 8; });
  });
  ASSERT_EQ(0, table.close());
  MakeFirstFormat();
  ASSERT_EQ(120u, StoredLength());
  const std::string old = cldbtest::ReadFile(base + ".dat"), oldSeal = Seal();

  ASSERT_EQ(0, table.open(ZelIndexing::kReadOnly));
  const Tags crc4 = Walk(table, kCrc, 4);
  EXPECT_EQ(100u, crc4.size());
  Walk(table, kCrc, 4, [](const _CacheRecord& r) { EXPECT_EQ(8u, r.archiveFileId); });
  ASSERT_EQ(0, table.close());
  EXPECT_EQ(old, cldbtest::ReadFile(base + ".dat"));
  EXPECT_EQ(oldSeal, Seal());

  cldbtest::LogCapture log(nullptr);
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  EXPECT_TRUE(log.Contains("is of the first format: rewriting it"));
  EXPECT_EQ(crc4, Walk(table, kCrc, 4));
  for (uint64_t crc = 0; crc < 30; ++crc) EXPECT_EQ(100u, Walk(table, kCrc, crc).size()) << crc;
  EXPECT_EQ(3000u, Walk(table, kAfid, 0).size());
  ASSERT_EQ(0, table.close());
  EXPECT_EQ(124u, StoredLength());
  EXPECT_EQ(0u, Seal().find("TCtreeTable seal 2\n"));
  EXPECT_FALSE(Exists(base + ".dat.upgrade"));
  ASSERT_EQ(0, table.open(ZelIndexing::kReadOnly));
  EXPECT_EQ(crc4, Walk(table, kCrc, 4));
}

// The first format's seal is checked by content, and maintenance upgrades
// the table before its own work.
TEST_F(EngineUpgrade, FirstFormatIsCheckedByContentAndUpgradedByMaintenance) {
  Fill(300);
  ASSERT_EQ(0, table.close());
  MakeFirstFormat();
  std::string bytes = cldbtest::ReadFile(base + ".dat");
  const std::string seal = Seal();
  bytes[bytes.size() / 2] ^= 1;
  cldbtest::WriteFile(base + ".dat", bytes);
  cldbtest::LogCapture log(nullptr);
  EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadOnly));
  EXPECT_TRUE(log.Contains("does not match its seal: CRC-64"));
  bytes[bytes.size() / 2] ^= 1;
  cldbtest::WriteFile(base + ".dat", bytes);
  EXPECT_EQ(seal, Seal());
  ASSERT_EQ(0, table.MakeCompact());
  EXPECT_EQ(124u, StoredLength());
  ASSERT_EQ(0, table.open(ZelIndexing::kReadOnly));
  ExpectFilled(table, 300);
}

}  // namespace
}  // namespace enginetest
