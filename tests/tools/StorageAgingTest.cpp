// End-to-end: the storage side ages its data (drops archive files and jobs,
// marks a CLDB dirty, takes a mount path offline) and the next jobs see it.

#include <filesystem>

#include "ToolHarness.h"
#include "storage/RawSql.h"

namespace tooltest {
namespace {

class StorageAgingTest : public TwoTreesTest {
 protected:
  static uint32_t Afile(const nlohmann::json& job) { return job["archive_file_id"]; }
};

// Job 2 finds every block of X and re-points its records at its own archive
// file, which only references job 1's. Once job 1 ages out, the blocks job
// 2 references stay, and the records naming job 2's file still answer;
// those still naming job 1's file do not.
TEST_F(StorageAgingTest, DroppingTheOldestJobKeepsWhatANewerJobReferences) {
  const nlohmann::json job1 = Backup({Tree("x"), Tree("y")});
  const nlohmann::json job2 = Backup({Tree("x")});
  ASSERT_EQ(job2["hits"], kX);
  for (const DumpRecord& record : Dump())
    ASSERT_TRUE(record.archiveFileId == Afile(job1) || record.archiveFileId == Afile(job2));
  DropJob(job1);
  ExpectRestored(job2["job_id"], {Tree("x")});

  const nlohmann::json job3 = Backup({Tree("x"), Tree("y")});
  EXPECT_EQ(job3["hits"], kX);
  EXPECT_EQ(job3["misses"], kY);
  EXPECT_EQ(JobOnStorage(job3["job_id"])["blocks"], kY);
  const std::vector<DumpRecord> records = Dump();
  EXPECT_EQ(records.size(), kX + kY);
  for (const DumpRecord& record : records) EXPECT_EQ(record.archiveFileId, Afile(job3));
  const nlohmann::json job4 = Backup({Tree("x"), Tree("y")});
  EXPECT_EQ(job4["hits"], kX + kY);
  ExpectRestored(job4["job_id"], {Tree("x"), Tree("y")});
}

// The newest archive file is referenced by no other: dropping it leaves the
// CLDB trusted, and pruning removes just the records that named it.
TEST_F(StorageAgingTest, PruneRemovesTheRecordsOfDroppedArchiveFiles) {
  const nlohmann::json job1 = Backup({Tree("x"), Tree("y")});
  const nlohmann::json job2 = Backup({Tree("x")});
  DropAfile(job2);

  const nlohmann::json pruned = Json({"prune"});
  EXPECT_EQ(pruned["records_before"], kX + kY);
  EXPECT_EQ(pruned["removed"], kX);
  EXPECT_EQ(pruned["records_after"], kY);
  for (const DumpRecord& record : Dump()) EXPECT_EQ(record.archiveFileId, Afile(job1));

  EXPECT_EQ(Json({"prune"})["removed"], 0);
  EXPECT_EQ(Backup({Tree("y")})["hits"], kY);
  EXPECT_EQ(Backup({Tree("x")})["misses"], kX);
}

// An auxiliary copy's CLDB is checked against no list of held files, so
// every drop on the copy makes the next auxiliary job start afresh.
TEST_F(StorageAgingTest, AnAuxiliaryCopyForgetsTheFilesOfDroppedJobs) {
  const std::vector<std::string> aux = {"--aux-copy", "--copy", "2"};
  const nlohmann::json job1 = Backup({Tree("x"), Tree("y")}, aux);
  const nlohmann::json job2 = Backup({Tree("x"), Tree("y")}, aux);
  ASSERT_EQ(job2["hits"], kX + kY);
  DropJob(job1);
  DropJob(job2);
  EXPECT_EQ(Backup({Tree("x"), Tree("y")}, aux)["hits"], 0);
  EXPECT_EQ(Backup({Tree("x"), Tree("y")}, aux)["hits"], kX + kY);
}

// The dirty flag of a client reaches the CLDB of each of its copies, however
// many of them are recreated before.
TEST_F(StorageAgingTest, ADirtyClientRecreatesTheCldbOfEveryCopy) {
  const std::vector<std::string> copy2 = {"--copy", "2"};
  Backup({Tree("x")});
  Backup({Tree("x")}, copy2);
  Run({"storage", "dirty", "--app", "1"});
  EXPECT_EQ(Backup({Tree("x")})["misses"], kX);
  EXPECT_EQ(Backup({Tree("x")}, copy2)["misses"], kX);
  EXPECT_EQ(Backup({Tree("x")})["hits"], kX);
  EXPECT_EQ(Backup({Tree("x")}, copy2)["hits"], kX);
}

// Archive-file ids overlap between roots; a CLDB copied from another root
// names files this root never stored, and must not be trusted.
TEST_F(StorageAgingTest, ACldbFromAnotherRootIsRecreated) {
  const std::string other = Tree("other-root");
  // There the records of X name archive file 1; here archive file 1 holds Y.
  ASSERT_EQ(RunTool({"backup", "--root", other, "--block-size", "4K", Tree("x")}).exitCode, 0);
  Backup({Tree("y")});
  std::filesystem::remove_all(CldbFolder());
  std::filesystem::copy(other + "/ZEL_CLDB_APP_1_1", CldbFolder());

  const nlohmann::json job = Backup({Tree("x")});
  EXPECT_EQ(job["hits"], 0);
  EXPECT_EQ(job["misses"], kX);
  EXPECT_EQ(Backup({Tree("x")})["hits"], kX);
}

TEST_F(StorageAgingTest, AnOfflineMountPathTurnsDeduplicationOff) {
  Backup({Tree("x")});
  Run({"storage", "offline", "--copy", "1"});
  const RunResult offline = RunTool(BackupArgs({Tree("x"), Tree("y")}));
  ASSERT_EQ(offline.exitCode, 0) << offline.err;
  EXPECT_NE(offline.err.find("offline"), std::string::npos);
  const nlohmann::json job = offline.Json();
  EXPECT_TRUE(job["offline"].get<bool>());
  EXPECT_EQ(job["hits"], 0);
  EXPECT_EQ(job["misses"], kX + kY);
  EXPECT_EQ(JobOnStorage(job["job_id"])["blocks"], kX + kY);

  // Nothing was inserted while offline: Y is still unknown to the CLDB.
  Run({"storage", "online", "--copy", "1"});
  const nlohmann::json online = Backup({Tree("x"), Tree("y")});
  EXPECT_FALSE(online["offline"].get<bool>());
  EXPECT_EQ(online["hits"], kX);
  EXPECT_EQ(online["misses"], kY);
}

// The storage side loses blocks behind the CLDB's back: the CLDB answers
// for them, the storage side refuses the references, and the backup stores
// the data instead and says so.
TEST_F(StorageAgingTest, AFalseHitIsRefusedCountedAndStoredInstead) {
  Backup({Tree("x")});
  cldbtest::RawSql(Root() + "/storage.sqlite", "DELETE FROM stored");
  const RunResult result = RunTool(BackupArgs({"--batch", "4", Tree("x")}));
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const nlohmann::json job = result.Json();
  EXPECT_EQ(job["false_hits"], kX);
  EXPECT_EQ(job["hits"], 0);
  EXPECT_EQ(job["misses"], kX);
  EXPECT_EQ(JobOnStorage(job["job_id"])["blocks"], kX);
  ExpectRestored(job["job_id"], {Tree("x")});
  cldbtest::RawSql(Root() + "/storage.sqlite", "DELETE FROM stored");
  const RunResult human = Run({"backup", "--block-size", "4K", Tree("x")});
  EXPECT_NE(human.out.find("false hits     9:"), std::string::npos) << human.out;
  EXPECT_EQ(Backup({Tree("x")})["hits"], kX);
}

// A lost archive file stays listed, as lost, beside the valid one; it cannot
// be dropped again.
TEST_F(StorageAgingTest, ALostArchiveFileIsListedAndCannotBeDroppedAgain) {
  const nlohmann::json job1 = Backup({Tree("x")});
  const nlohmann::json job2 = Backup({Tree("y")});
  DropAfile(job2);
  const nlohmann::json afiles = Json({"storage", "afiles"})["archive_files"];
  ASSERT_EQ(afiles.size(), 2u);
  EXPECT_EQ(afiles[0]["archive_file_id"], Afile(job1));
  EXPECT_EQ(afiles[0]["state"], "valid");
  EXPECT_EQ(afiles[1]["state"], "lost");
  const RunResult again = Run({"storage", "drop-afile", std::to_string(Afile(job2))}, 1);
  EXPECT_EQ(again.ErrorLines().size(), 1u);
}

}  // namespace
}  // namespace tooltest
