// The pack format: records read back as written, every kind of damage
// detected, and packs of a newer format refused.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "StorageFixture.h"
#include "storage/PackFormat.h"

namespace cldbtest {
namespace {

using cldb::Compressor;
using cldb::Decompressor;
using cldb::kRecordHeaderSize;

std::string Incompressible(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// The record of `block`, as a pack holds it.
std::vector<unsigned char> Encode(const TestBlock& block) {
  std::vector<unsigned char> record(kRecordHeaderSize + block.data.size());
  Compressor compressor;
  const cldb::JobWriter::Block ref = block.Ref();
  record.resize(compressor.EncodeRecord(ref.digest, ref.data, ref.size, record.data()));
  return record;
}

// "" and the block's bytes in `data`, or what is wrong.
std::string Decode(const std::vector<unsigned char>& record, const TestBlock& block,
                   std::string& data) {
  Decompressor decompressor;
  std::vector<unsigned char> scratch;
  const unsigned char* bytes = nullptr;
  const auto size = static_cast<uint32_t>(block.data.size());
  const std::string problem =
      decompressor.DecodeRecord(record.data(), record.size(), block.digest, size, scratch, bytes);
  if (problem.empty()) data.assign(reinterpret_cast<const char*>(bytes), size);
  return problem;
}

// Compressible blocks are stored smaller, others raw; both read back.
TEST(PackFormat, RecordsReadBackAsWritten) {
  struct Case {
    const char* what;
    std::string bytes;
    bool smaller;
  };
  const Case cases[] = {{"text", std::string(100000, 'x') + "end", true},
                        {"random", Incompressible(65536, 1), false},
                        {"one byte", "z", false},
                        {"empty", "", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TestBlock block(c.bytes);
    const std::vector<unsigned char> record = Encode(block);
    EXPECT_EQ(record.size() < kRecordHeaderSize + c.bytes.size(), c.smaller);
    std::string data;
    ASSERT_EQ(Decode(record, block, data), "");
    EXPECT_EQ(data, c.bytes);
  }
}

// A flipped bit anywhere is found, and said where.
TEST(PackFormat, DamageIsDetected) {
  for (bool compressible : {true, false}) {
    SCOPED_TRACE(compressible ? "zstd" : "raw");
    const TestBlock block(compressible ? std::string(50000, 'q') : Incompressible(5000, 2));
    const std::vector<unsigned char> good = Encode(block);
    struct Case {
      size_t offset;
      const char* expected;
    };
    const Case cases[] = {{0, "header is damaged"},
                          {9, "header is damaged"},
                          {20, "header is damaged"},
                          {kRecordHeaderSize, "data is damaged"},
                          {good.size() - 1, "data is damaged"}};
    for (const Case& c : cases) {
      std::vector<unsigned char> bad = good;
      bad[c.offset] ^= 0x10;
      std::string data;
      EXPECT_NE(Decode(bad, block, data).find(c.expected), std::string::npos) << c.offset;
    }
    std::string data;
    const TestBlock other("another");
    EXPECT_NE(Decode(good, other, data).find("another block"), std::string::npos);
    std::vector<unsigned char> cut(good.begin(), good.end() - 1);
    EXPECT_NE(Decode(cut, block, data), "");
  }
}

TEST(PackFormat, HeadersOfNewerVersionsAndOtherFilesAreRefused) {
  unsigned char header[cldb::kPackHeaderSize];
  cldb::PackHeader written;
  written.afileId = 42;
  written.generation = 3;
  cldb::EncodePackHeader(written, header);
  cldb::PackHeader read;
  ASSERT_EQ(cldb::DecodePackHeader(header, read), "");
  EXPECT_TRUE(read.afileId == 42 && read.generation == 3 && read.version == 1);

  written.version = cldb::kPackFormatVersion + 1;
  cldb::EncodePackHeader(written, header);
  EXPECT_NE(cldb::DecodePackHeader(header, read).find("newer format version (2"),
            std::string::npos);
  header[30] ^= 1;
  EXPECT_NE(cldb::DecodePackHeader(header, read).find("damaged"), std::string::npos);
  std::memcpy(header, "SQLite f", 8);
  EXPECT_EQ(cldb::DecodePackHeader(header, read), "not a pack file");
}

TEST(PackFormat, FileNamesNameArchiveFileAndGeneration) {
  for (auto [afile, generation, name] : {std::tuple{1u, 0u, "1.pack"},
                                         {7u, 2u, "7.2.pack"},
                                         {4294967295u, 1u, "4294967295.1.pack"}}) {
    EXPECT_EQ(cldb::PackFileName(afile, generation), name);
    uint32_t a = 0, g = 99;
    EXPECT_TRUE(cldb::ParsePackFileName(name, a, g)) << name;
    EXPECT_TRUE(a == afile && g == generation) << name;
  }
  for (const char* other : {"pack", ".pack", "1.0.pack", "01.pack", "1.x.pack", "1.pack.tmp",
                            "4294967296.pack", "-1.pack", "1..pack"}) {
    uint32_t a = 0, g = 0;
    EXPECT_FALSE(cldb::ParsePackFileName(other, a, g)) << other;
  }
}

}  // namespace
}  // namespace cldbtest
