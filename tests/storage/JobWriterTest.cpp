// What a job stores: blocks written and recorded, references resolved on
// the job's storage copy only, and nothing recorded of a batch whose data
// did not reach the disk.
#include "StorageFixture.h"
#include "platform/FileIo.h"
#include "storage/BlockReader.h"

namespace cldbtest {
namespace {

using JobWriterTest = StorageTest;

std::string Fetched(cldb::SqliteStorageBackend& backend, const TestBlock& block, uint32_t copy) {
  cldb::BlockReader reader(backend);
  const unsigned char* data = nullptr;
  std::string problem;
  const auto size = static_cast<uint32_t>(block.data.size());
  if (!reader.Fetch(block.digest, size, copy, data, problem)) return "(" + problem + ")";
  return std::string(reinterpret_cast<const char*>(data), size);
}

TEST_F(JobWriterTest, StoredBlocksReadBackAndReferencesResolveOnTheirCopyOnly) {
  const TestBlock a(std::string(5000, 'a')), b("b"), unknown("never stored");
  std::vector<uint32_t> files;
  const uint32_t job1 = JobWithFiles(1, 1, 1, &files);
  ASSERT_EQ(StoreBatch(*backend_, job1, 1, files[0], {&a, &b}), 0);
  EXPECT_EQ(Fetched(*backend_, a, 1), a.data);
  EXPECT_EQ(Fetched(*backend_, b, 1), b.data);
  EXPECT_EQ(Fetched(*backend_, a, 2), "(no pack holds it)");

  // Another client's job on the copy references a; nothing holds `unknown`.
  const uint32_t job2 = JobWithFiles(2, 1, 1, &files);
  std::vector<size_t> unresolved;
  ASSERT_EQ(StoreBatch(*backend_, job2, 1, files[1], {}, {&unknown, &a}, &unresolved), 0);
  EXPECT_EQ(unresolved, std::vector<size_t>{0});
  // On another copy, a is not held.
  const uint32_t job3 = JobWithFiles(1, 2, 1, &files);
  ASSERT_EQ(StoreBatch(*backend_, job3, 2, files[2], {}, {&a}, &unresolved), 0);
  EXPECT_EQ(unresolved, std::vector<size_t>{0});
  // Only the resolved reference was recorded, against its archive file.
  EXPECT_EQ(RawSql(DbPath(), "SELECT group_concat(afile_id) FROM refs"), std::to_string(files[1]));
}

// The Nth call that opens, writes or syncs the pack fails: the batch fails,
// nothing of it is recorded, and the job can go on.
TEST_F(JobWriterTest, ABatchWhoseDataDidNotReachTheDiskIsNotRecorded) {
  struct Case {
    const char* what;
    unsigned ops;
    uint64_t failAt;
  };
  for (const Case& c : {Case{"creating the pack", cldb::io::kOpen, 1},
                        Case{"writing its header", cldb::io::kWrite, 1},
                        Case{"writing the records", cldb::io::kWrite, 2},
                        Case{"syncing the records", cldb::io::kSync, 3}}) {
    SCOPED_TRACE(c.what);
    std::vector<uint32_t> files;
    const uint32_t jobId = JobWithFiles(1, 1, 1, &files);
    const TestBlock block(c.what);
    cldb::JobWriter writer(*backend_, jobId, 1, 4096, 1);
    writer.UseArchiveFile(files[0]);
    std::vector<size_t> unresolved;
    cldb::io::SetFaultPlan({c.ops, c.failAt, 28 /* ENOSPC */, false});
    EXPECT_EQ(writer.StoreBatch({block.Ref()}, {}, {}, unresolved), -1);
    cldb::io::SetFaultPlan({});
    EXPECT_NE(writer.Error().find("No space left"), std::string::npos) << writer.Error();
    EXPECT_EQ(RawSql(DbPath(),
                     "SELECT count(*) FROM stored WHERE afile_id = " + std::to_string(files[0])),
              "0");
    EXPECT_EQ(Fetched(*backend_, block, 1), "(no pack holds it)");
    // A pack that was made stays in use; one that was not is made now.
    ASSERT_EQ(writer.StoreBatch({block.Ref()}, {}, {}, unresolved), 0) << writer.Error();
    EXPECT_EQ(Fetched(*backend_, block, 1), block.data);
    ASSERT_EQ(backend_->EndJob(jobId, 0), 0);
  }
}

}  // namespace
}  // namespace cldbtest
