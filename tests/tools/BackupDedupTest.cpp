// End-to-end: what a backup finds in the CLDB as the backed-up files change.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <numeric>

#include "ToolHarness.h"

namespace tooltest {
namespace {

class BackupDedupTest : public ToolTest {
 protected:
  // Four files, one empty, one in a subfolder, sizes not all whole blocks.
  void MakeTree() {
    WriteRandomFile(Tree("t") + "/a", 1, 10 * kBlock + 100);
    WriteRandomFile(Tree("t") + "/b", 2, 7 * kBlock);
    WriteRandomFile(Tree("t") + "/sub/c", 3, 3 * kBlock + 1);
    WriteRandomFile(Tree("t") + "/empty", 4, 0);
  }
  static constexpr uint64_t kTreeBlocks = 11 + 7 + 4;
  static constexpr uint64_t kTreeBytes = 10 * kBlock + 100 + 7 * kBlock + 3 * kBlock + 1;

  // Overwrites block `index` of `path` with fresh data.
  static void ChangeBlock(const std::string& path, uint64_t index, uint64_t seed) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(index * kBlock));
    const std::string bytes = RandomBytes(seed, kBlock);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
};

TEST_F(BackupDedupTest, FirstPassMissesEveryBlockAndSecondHitsEveryBlock) {
  MakeTree();
  nlohmann::json first = Backup({Tree("t")});
  EXPECT_EQ(first["files"], 4);
  EXPECT_EQ(first["bytes"], kTreeBytes);
  EXPECT_EQ(first["blocks"], kTreeBlocks);
  EXPECT_EQ(first["hits"], 0);
  EXPECT_EQ(first["misses"], kTreeBlocks);
  EXPECT_EQ(first["bytes_stored"], kTreeBytes);
  EXPECT_EQ(first["stats"]["crc_not_found"], kTreeBlocks);

  nlohmann::json second = Backup({Tree("t")});
  EXPECT_EQ(second["blocks"], kTreeBlocks);
  EXPECT_EQ(second["hits"], kTreeBlocks);
  EXPECT_EQ(second["misses"], 0);
  EXPECT_EQ(second["bytes_not_sent"], kTreeBytes);
  EXPECT_DOUBLE_EQ(second["dedup_ratio"].get<double>(), 1.0);
  EXPECT_EQ(second["stats"]["crc_not_found"], 0);
  EXPECT_GT(second["job_id"].get<uint32_t>(), first["job_id"].get<uint32_t>());
  EXPECT_NE(second["archive_file_id"], first["archive_file_id"]);
  // The second pass only referenced what the first one wrote.
  EXPECT_GT(first["bytes_written"].get<uint64_t>(), kTreeBytes);
  EXPECT_EQ(second["bytes_written"], 0);
  ExpectRestored(first["job_id"], {Tree("t")});
  ExpectRestored(second["job_id"], {Tree("t")});
}

TEST_F(BackupDedupTest, OnlyTheChangedBlocksMiss) {
  MakeTree();
  Backup({Tree("t")});
  ChangeBlock(Tree("t") + "/a", 3, 100);                                // one block rewritten
  ChangeBlock(Tree("t") + "/b", 0, 101);                                // another
  std::filesystem::resize_file(Tree("t") + "/sub/c", 2 * kBlock + 10);  // last block shorter
  {
    std::ofstream append(Tree("t") + "/b", std::ios::app | std::ios::binary);
    append << RandomBytes(102, 1000);  // one new, short block
  }
  WriteRandomFile(Tree("t") + "/new", 103, 2 * kBlock);  // two new blocks

  nlohmann::json changed = Backup({Tree("t")});
  const uint64_t blocks = 11 + 8 + 3 + 2;
  EXPECT_EQ(changed["blocks"], blocks);
  EXPECT_EQ(changed["misses"], 1 + 1 + 1 + 1 + 2);
  EXPECT_EQ(changed["hits"], blocks - 6);

  nlohmann::json again = Backup({Tree("t")});
  EXPECT_EQ(again["misses"], 0);
  EXPECT_EQ(again["hits"], blocks);
  ExpectRestored(again["job_id"], {Tree("t")});
}

TEST_F(BackupDedupTest, RepeatedBlocksAreStoredOnceWhateverTheBatch) {
  const std::string block = RandomBytes(7, kBlock);
  std::string repeated;
  for (int i = 0; i < 40; ++i) repeated += block;
  std::filesystem::create_directories(Tree("t"));
  cldbtest::WriteFile(Tree("t") + "/repeated", repeated);
  WriteRandomFile(Tree("t") + "/x", 8, 5 * kBlock);
  std::filesystem::copy_file(Tree("t") + "/x", Tree("t") + "/x-copy");

  // Each batch size on a CLDB of its own: repeats within one batch, and
  // repeats that span batches.
  const std::vector<std::pair<std::string, uint32_t>> runs = {{"1024", 1}, {"1", 2}, {"3", 3}};
  for (const auto& [batch, app] : runs) {
    SCOPED_TRACE("batch " + batch);
    nlohmann::json job = Backup({Tree("t")}, {"--batch", batch, "--app", std::to_string(app)});
    EXPECT_EQ(job["blocks"], 40 + 5 + 5);
    EXPECT_EQ(job["misses"], 1 + 5);
    EXPECT_EQ(job["hits"], 39 + 5);
    EXPECT_EQ(job["bytes_stored"], 6 * kBlock);
    EXPECT_EQ(Dump(app).size(), 6u);  // one record per distinct block
  }
}

// Links are kept as links, never followed, not even when named; a path
// below another named one is backed up once.
TEST_F(BackupDedupTest, SymbolicLinksAreKeptAsLinksAndSpecialFilesSkipped) {
  MakeTree();
  WriteRandomFile(Tree("outside") + "/big", 9, 20 * kBlock);
  ASSERT_EQ(symlink((Tree("outside") + "/big").c_str(), (Tree("t") + "/link-to-file").c_str()), 0);
  ASSERT_EQ(symlink(Tree("outside").c_str(), (Tree("t") + "/link-to-folder").c_str()), 0);
  ASSERT_EQ(mkfifo((Tree("t") + "/fifo").c_str(), 0644), 0);

  nlohmann::json job = Backup({Tree("t"), Tree("t") + "/link-to-folder", Tree("t") + "/sub/"});
  EXPECT_EQ(job["files"], 4);
  EXPECT_EQ(job["blocks"], kTreeBlocks);
  EXPECT_EQ(job["skipped"], 1);  // the pipe
  // The tree as it was, without the pipe.
  struct stat folder {};
  ASSERT_EQ(lstat(Tree("t").c_str(), &folder), 0);
  std::filesystem::remove(Tree("t") + "/fifo");
  const struct timespec times[2] = {folder.st_atim, folder.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, Tree("t").c_str(), times, 0), 0);
  ExpectRestored(job["job_id"], {Tree("t")});

  nlohmann::json named = Backup({Tree("t") + "/link-to-folder"});
  EXPECT_EQ(named["blocks"], 0);
  const std::string target = Restore(named["job_id"]);
  EXPECT_EQ(std::filesystem::read_symlink(target + Tree("t") + "/link-to-folder"), Tree("outside"));
}

TEST_F(BackupDedupTest, NamedFilesAndFoldersAreBackedUpTogether) {
  MakeTree();
  nlohmann::json job = Backup({Tree("t") + "/a", Tree("t") + "/sub"});
  EXPECT_EQ(job["files"], 2);
  EXPECT_EQ(job["blocks"], 11 + 4);
  nlohmann::json whole = Backup({Tree("t")});
  EXPECT_EQ(whole["hits"], 11 + 4);
  EXPECT_EQ(whole["misses"], 7);
}

TEST_F(BackupDedupTest, StorageSideHoldsExactlyTheMissesAcrossArchiveFiles) {
  MakeTree();
  nlohmann::json job = Backup({Tree("t")}, {"--archive-file-size", "20K", "--batch", "4"});
  const auto& afiles = job["archive_files"];
  // 22 blocks in six batches of at most four; any two batches pass 20 KiB,
  // so every archive file takes two batches.
  ASSERT_EQ(afiles.size(), 3u);
  nlohmann::json listed = Json({"storage", "afiles"})["archive_files"];
  ASSERT_EQ(listed.size(), afiles.size());
  uint64_t blocks = 0;
  uint64_t bytes = 0;
  for (size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(listed[i]["archive_file_id"], afiles[i]);
    EXPECT_EQ(listed[i]["job_id"], job["job_id"]);
    blocks += listed[i]["blocks"].get<uint64_t>();
    bytes += listed[i]["bytes"].get<uint64_t>();
  }
  EXPECT_EQ(blocks, job["misses"]);
  EXPECT_EQ(bytes, job["bytes_stored"]);
  EXPECT_EQ(JobOnStorage(job["job_id"])["status"], "completed");
}

TEST_F(BackupDedupTest, AnAuxiliaryCopyKeepsACldbOfItsOwn) {
  MakeTree();
  Backup({Tree("t")});
  const std::vector<std::string> aux = {"--aux-copy", "--copy", "2"};
  nlohmann::json first = Backup({Tree("t")}, aux);
  EXPECT_EQ(first["cldb_folder"], Root() + "/ZEL_CLDB_AUX_2");
  EXPECT_EQ(first["misses"], kTreeBlocks);
  EXPECT_EQ(Backup({Tree("t")}, aux)["hits"], kTreeBlocks);
  EXPECT_EQ(Json({"stats", "--aux-copy", "--copy", "2"})["record_count"], kTreeBlocks);
}

TEST_F(BackupDedupTest, ClientsKeepSeparateCldbs) {
  MakeTree();
  Backup({Tree("t")}, {"--app", "1"});
  EXPECT_EQ(Backup({Tree("t")}, {"--app", "2"})["misses"], kTreeBlocks);
  EXPECT_EQ(Backup({Tree("t")}, {"--app", "1", "--copy", "2"})["misses"], kTreeBlocks);
  EXPECT_EQ(Backup({Tree("t")}, {"--app", "1"})["hits"], kTreeBlocks);
}

TEST_F(BackupDedupTest, AnotherStoreIdRecreatesTheCldb) {
  MakeTree();
  Backup({Tree("t")}, {"--store", "1"});
  EXPECT_EQ(Backup({Tree("t")}, {"--store", "2"})["misses"], kTreeBlocks);
  EXPECT_EQ(Backup({Tree("t")}, {"--store", "2"})["hits"], kTreeBlocks);
}

}  // namespace
}  // namespace tooltest
