#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ScopedEnv.h"
#include "TestSupport.h"
#include "platform/ZelPlatformInfo.h"

namespace {

// Points the configuration at a file of the test's own; restores the test
// process's isolation afterwards.
class PlatformInfoTest : public ::testing::Test {
 protected:
  void UseConfig(const std::string& content) {
    cldbtest::WriteFile(dir_ / "cldb.conf", content);
    env_.reset(new ScopedEnv("CLDB_CONFIG", (dir_ / "cldb.conf").c_str()));
    ZelPlatformInfo::Reload();
  }
  void TearDown() override {
    env_.reset();
    ZelPlatformInfo::ClearOverrides();
    ZelPlatformInfo::Reload();
  }

  cldbtest::TempDir dir_;
  std::unique_ptr<ScopedEnv> env_;
};

TEST_F(PlatformInfoTest, ParsesSectionsCommentsAndHex) {
  UseConfig(
      "# a comment\n"
      "; another comment\n"
      "[Courier]\n"
      "  CLDBCtreeBufferCount = 2500  \n"
      "CLDBCtreeNodeSize=0x10\n"
      "#CLDBCompactIntervalDays = 99\n"
      "Word = twelve\n"
      "[Warden]\n"
      "CLDBCtreeBufferCount = 7\n");
  unsigned long value = 0;
  ASSERT_NE(ZelPlatformInfo::getNumber("Courier", "CLDBCtreeBufferCount", &value), 0);
  EXPECT_EQ(value, 2500ul);
  ASSERT_NE(ZelPlatformInfo::getNumber("Courier", "CLDBCtreeNodeSize", &value), 0);
  EXPECT_EQ(value, 16ul);
  ASSERT_NE(ZelPlatformInfo::getNumber("Warden", "CLDBCtreeBufferCount", &value), 0);
  EXPECT_EQ(value, 7ul);
  std::string text;
  ASSERT_NE(ZelPlatformInfo::getString("Courier", "Word", text), 0);
  EXPECT_EQ(text, "twelve");

  value = 12345;  // absent keys leave the value untouched
  EXPECT_EQ(ZelPlatformInfo::getNumber("Courier", "CLDBCompactIntervalDays", &value), 0);
  EXPECT_EQ(ZelPlatformInfo::getNumber("courier", "CLDBCtreeNodeSize", &value), 0);
  EXPECT_EQ(ZelPlatformInfo::getNumber("Courier", "Word", &value), 0);  // not a number
  EXPECT_EQ(value, 12345ul);
}

TEST_F(PlatformInfoTest, MissingFileIsEmptyConfigurationUntilReload) {
  env_.reset(new ScopedEnv("CLDB_CONFIG", (dir_ / "cldb.conf").c_str()));
  ZelPlatformInfo::Reload();
  EXPECT_EQ(ZelPlatformInfo::IsCloudLaptopClient(), 0);
  cldbtest::WriteFile(dir_ / "cldb.conf", "[CLDB]\nCloudLaptopClient = 1\n");
  EXPECT_EQ(ZelPlatformInfo::IsCloudLaptopClient(), 0);  // read once
  ZelPlatformInfo::Reload();
  EXPECT_EQ(ZelPlatformInfo::IsCloudLaptopClient(), 1);
}

TEST_F(PlatformInfoTest, OverridesTakePrecedenceAndClear) {
  UseConfig("[Courier]\nMaxCacheDBSizeMB = 100\n");
  unsigned long value = 0;
  ZelPlatformInfo::SetOverride("Courier", "MaxCacheDBSizeMB", 200ul);
  ZelPlatformInfo::SetOverride("Courier", "Other", "0x20");
  ASSERT_NE(ZelPlatformInfo::getNumber("Courier", "MaxCacheDBSizeMB", &value), 0);
  EXPECT_EQ(value, 200ul);
  ASSERT_NE(ZelPlatformInfo::getNumber("Courier", "Other", &value), 0);
  EXPECT_EQ(value, 32ul);

  ZelPlatformInfo::ClearOverride("Courier", "MaxCacheDBSizeMB");
  ASSERT_NE(ZelPlatformInfo::getNumber("Courier", "MaxCacheDBSizeMB", &value), 0);
  EXPECT_EQ(value, 100ul);
  ZelPlatformInfo::ClearOverrides();
  EXPECT_EQ(ZelPlatformInfo::getNumber("Courier", "Other", &value), 0);
}

TEST_F(PlatformInfoTest, RootFolderResolutionOrder) {
  UseConfig(
      "[CLDBRootFolders]\n"
      "jobs = /data/jobs-cldb\n"
      "[CLDB]\n"
      "RootFolder = /data/default-cldb\n");
  ZelPlatformInfo info;
  std::string folder;
  ASSERT_EQ(info.GetCLDBRootFolder("jobs", folder), 0);
  EXPECT_EQ(folder, "/data/jobs-cldb");
  ASSERT_EQ(info.GetCLDBRootFolder("/explicit/place", folder), 0);
  EXPECT_EQ(folder, "/explicit/place");
  ASSERT_EQ(info.GetCLDBRootFolder("unknown", folder), 0);
  EXPECT_EQ(folder, "/data/default-cldb");
}

TEST_F(PlatformInfoTest, RootFolderDefaultsToUserDataFolder) {
  UseConfig("");
  ZelPlatformInfo info;
  std::string folder;
  {
    ScopedEnv data("XDG_DATA_HOME", "/xdg/data");
    ASSERT_EQ(info.GetCLDBRootFolder("", folder), 0);
    EXPECT_EQ(folder, "/xdg/data/cldb");
  }
  ScopedEnv data("XDG_DATA_HOME", nullptr);
  ScopedEnv home("HOME", "/home/someone");
  ASSERT_EQ(info.GetCLDBRootFolder("relative-key", folder), 0);
  EXPECT_EQ(folder, "/home/someone/.local/share/cldb");
}

}  // namespace
