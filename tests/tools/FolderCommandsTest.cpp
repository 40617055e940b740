// End-to-end: stats, state, dump and compact agree with what the backups did.

#include <filesystem>

#include "ToolHarness.h"

namespace tooltest {
namespace {

class FolderCommandsTest : public ToolTest {
 protected:
  void SetUp() override {
    WriteRandomFile(Tree("t") + "/a", 51, 12 * kBlock + 5);
    WriteRandomFile(Tree("t") + "/b", 52, 4 * kBlock);
    job_ = Backup({Tree("t")}, {"--store", "7"});
  }
  static constexpr uint64_t kBlocks = 13 + 4;
  nlohmann::json job_;
};

TEST_F(FolderCommandsTest, StateAndStatsShowAClosedCldbWithItsRecordCount) {
  const nlohmann::json state = Json({"state", CldbFolder()});
  EXPECT_EQ(state["version"], 2);
  EXPECT_EQ(state["state"], 2);
  EXPECT_EQ(state["cldb_id"], 1);
  EXPECT_EQ(state["sidb_store_id"], 7);
  EXPECT_EQ(state["record_count"], kBlocks);
  EXPECT_GT(state["last_compact_time"].get<uint64_t>(), 0u);

  const RunResult human = RunTool({"state", CldbFolder()});
  EXPECT_NE(human.out.find("State            2 (closed)"), std::string::npos) << human.out;

  const nlohmann::json stats = Json({"stats"});
  EXPECT_EQ(stats["cldb_folder"], CldbFolder());
  EXPECT_EQ(stats["record_count"], kBlocks);
  EXPECT_EQ(stats["state_name"], "closed");
  EXPECT_GT(stats["folder_bytes"].get<uint64_t>(), 0u);
  EXPECT_GT(stats["last_access_time"].get<uint64_t>(), 0u);
}

TEST_F(FolderCommandsTest, DumpWritesOneLinePerRecord) {
  const std::vector<DumpRecord> records = Dump();
  ASSERT_EQ(records.size(), kBlocks);
  uint64_t bytes = 0;
  for (const DumpRecord& record : records) {
    bytes += record.size;
    EXPECT_EQ(record.archiveFileId, job_["archive_file_id"]);
  }
  EXPECT_EQ(bytes, job_["bytes_stored"]);
}

TEST_F(FolderCommandsTest, CompactionKeepsEveryRecord) {
  const RunResult compact = RunTool({"compact", CldbFolder()});
  ASSERT_EQ(compact.exitCode, 0) << compact.err;
  EXPECT_EQ(Dump().size(), kBlocks);
  EXPECT_EQ(Backup({Tree("t")}, {"--store", "7"})["hits"], kBlocks);
}

}  // namespace
}  // namespace tooltest
