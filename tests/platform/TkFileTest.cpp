#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "platform/CTkFile.h"

namespace {

using cldbtest::ReadFile;
using cldbtest::TempDir;
using cldbtest::WriteFile;

bool Exists(const std::string& path) {
  bool exists = false;
  EXPECT_FALSE(CTkPath::Exists(path.c_str(), exists).IsError());
  return exists;
}

TEST(CTkPath, ExistsAppendAndIsDirectory) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  EXPECT_TRUE(Exists(dir / "file"));
  EXPECT_FALSE(Exists(dir / "absent"));
  EXPECT_FALSE(Exists(dir / "file/below"));  // a file is no folder: not an error
  EXPECT_TRUE(CTkPath::IsDirectory(dir.path().c_str()));
  EXPECT_FALSE(CTkPath::IsDirectory((dir / "file").c_str()));
  EXPECT_STREQ(CTkPath::Append("/a/b", "c").c_str(), "/a/b/c");
  EXPECT_STREQ(CTkPath::Append("/a/b//", "/c").c_str(), "/a/b/c");
  EXPECT_STREQ(CTkPath::Append("/", "c").c_str(), "/c");
}

TEST(CTkFile, WriteReadSizeAndErrors) {
  TempDir dir;
  CTkFile file;
  CTkError missing = file.Open((dir / "absent").c_str(), O_RDONLY, 0);
  EXPECT_EQ(missing.GetErrorCode(), -ENOENT);
  EXPECT_NE(std::string(missing.AsString()).find("absent"), std::string::npos);
  EXPECT_TRUE(file.Write("x", 1, nullptr).IsError());  // nothing open

  ASSERT_FALSE(file.Open((dir / "f").c_str(), O_RDWR | O_CREAT, 0600).IsError());
  unsigned int written = 0;
  ASSERT_FALSE(file.Write("hello world", 11, &written).IsError());
  EXPECT_EQ(written, 11u);
  unsigned long long size = 0;
  ASSERT_FALSE(file.Size(size).IsError());
  EXPECT_EQ(size, 11ull);
  ASSERT_FALSE(file.Flush().IsError());
  ASSERT_FALSE(file.Close().IsError());
  EXPECT_FALSE(file.IsValid());

  ASSERT_FALSE(file.Open((dir / "f").c_str(), O_RDONLY, 0).IsError());
  char buffer[32] = {};
  unsigned int read = 0;
  ASSERT_FALSE(file.Read(buffer, sizeof buffer, &read).IsError());
  EXPECT_EQ(std::string(buffer, read), "hello world");
}

TEST(CTkFile, TruncateThenWriteStartsAtTheCut) {
  TempDir dir;
  WriteFile(dir / "f", "0123456789");
  CTkFile file;
  ASSERT_FALSE(file.Open((dir / "f").c_str(), O_RDWR, 0).IsError());
  char buffer[10];
  ASSERT_FALSE(file.Read(buffer, sizeof buffer, nullptr).IsError());  // position at the end
  ASSERT_FALSE(file.Truncate(4).IsError());
  ASSERT_FALSE(file.Write("AB", 2, nullptr).IsError());
  ASSERT_FALSE(file.Close().IsError());
  EXPECT_EQ(ReadFile(dir / "f"), "0123AB");
}

TEST(CTkFile, CopyReplacesContentKeepsModeAndNeverDamages) {
  TempDir dir;
  std::string content(200000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  WriteFile(dir / "src", content);
  ASSERT_EQ(chmod((dir / "src").c_str(), 0640), 0);
  WriteFile(dir / "dst", std::string(300000, 'z'));  // longer: must be replaced entirely
  ASSERT_FALSE(CTkFile::Copy((dir / "src").c_str(), (dir / "dst").c_str()).IsError());
  EXPECT_EQ(ReadFile(dir / "dst"), content);
  ASSERT_FALSE(CTkFile::Copy((dir / "src").c_str(), (dir / "new").c_str()).IsError());
  struct stat st;
  ASSERT_EQ(stat((dir / "new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  EXPECT_TRUE(CTkFile::Copy((dir / "absent").c_str(), (dir / "none").c_str()).IsError());
  EXPECT_FALSE(Exists(dir / "none"));
  EXPECT_TRUE(CTkFile::Copy((dir / "src").c_str(), (dir / "src").c_str()).IsError());
  EXPECT_EQ(ReadFile(dir / "src"), content);
}

TEST(CTkDirectory, CreateRecursiveAndExisting) {
  TempDir dir;
  EXPECT_TRUE(CTkDirectory::Create((dir / "a/b/c").c_str(), false).IsError());
  ASSERT_FALSE(CTkDirectory::Create((dir / "a/b/c").c_str(), true).IsError());
  EXPECT_TRUE(CTkPath::IsDirectory((dir / "a/b/c").c_str()));
  EXPECT_FALSE(CTkDirectory::Create((dir / "a/b/c").c_str(), true).IsError());
  WriteFile(dir / "file", "x");
  EXPECT_TRUE(CTkDirectory::Create((dir / "file").c_str(), true).IsError());
}

TEST(CTkDirectory, RemoveRecursiveKeepFolderAndLinks) {
  TempDir dir;
  ASSERT_FALSE(CTkDirectory::Create((dir / "x/y/z").c_str(), true).IsError());
  WriteFile(dir / "x/f1", "1");
  WriteFile(dir / "x/y/z/f2", "2");
  EXPECT_TRUE(CTkDirectory::Remove((dir / "x").c_str(), false, false).IsError());  // not empty
  ASSERT_FALSE(CTkDirectory::Remove((dir / "x").c_str(), true, true).IsError());
  EXPECT_TRUE(CTkPath::IsDirectory((dir / "x").c_str()));
  EXPECT_FALSE(Exists(dir / "x/f1"));
  EXPECT_FALSE(Exists(dir / "x/y"));

  WriteFile(dir / "x/f3", "3");
  ASSERT_EQ(symlink((dir / "x").c_str(), (dir / "link").c_str()), 0);
  EXPECT_TRUE(CTkDirectory::Remove((dir / "link").c_str(), true, false).IsError());
  EXPECT_TRUE(Exists(dir / "x/f3"));  // a link's target is left alone
  ASSERT_FALSE(CTkDirectory::Remove((dir / "x").c_str(), true, false).IsError());
  EXPECT_FALSE(Exists(dir / "x"));
}

struct WalkLog {
  std::vector<std::string> seen;  // "folder|name|d" or "...|f" per entry
  std::string stopAt;
};

CTkError Record(const char* folder, const char* name, bool isDirectory, void* context) {
  auto* log = static_cast<WalkLog*>(context);
  log->seen.push_back(std::string(folder) + "|" + name + (isDirectory ? "|d" : "|f"));
  if (log->stopAt == name) return CTkError::FromErrno(ECANCELED, "stop");
  return CTkError();
}

class CTkDirectoryListing : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(CTkDirectory::Create((dir_ / "sub/deeper").c_str(), true).IsError());
    WriteFile(dir_ / "a.dat", "a");
    WriteFile(dir_ / "b.xml", "b");
    WriteFile(dir_ / "sub/c.dat", "c");
    WriteFile(dir_ / "sub/deeper/d.dat", "d");
  }
  std::vector<std::string> Walk(bool recursive, const std::string& stopAt = "") {
    WalkLog log;
    log.stopAt = stopAt;
    error_ = CTkDirectory::Walk(dir_.path().c_str(), &log, 0, recursive, Record);
    std::sort(log.seen.begin(), log.seen.end());
    return log.seen;
  }
  std::vector<std::string> List(const char* pattern, bool skipDots) {
    CTkDirectory listing;
    std::vector<std::string> names;
    EXPECT_FALSE(listing.Open(dir_.path().c_str(), pattern, skipDots).IsError());
    STkDirEntry entry;
    bool end = false;
    while (!listing.GetEntry(entry, end).IsError() && !end)
      names.push_back(std::string(entry) + (entry.isDirectory ? "/" : ""));
    EXPECT_FALSE(listing.Close().IsError());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
  CTkError error_;
};

TEST_F(CTkDirectoryListing, WalkOneFolderOrRecursive) {
  const std::string& d = dir_.path();
  EXPECT_EQ(Walk(false), (std::vector<std::string>{d + "|a.dat|f", d + "|b.xml|f", d + "|sub|d"}));
  EXPECT_FALSE(error_.IsError());
  EXPECT_EQ(Walk(true), (std::vector<std::string>{d + "/sub/deeper|d.dat|f", d + "/sub|c.dat|f",
                                                  d + "/sub|deeper|d", d + "|a.dat|f",
                                                  d + "|b.xml|f", d + "|sub|d"}));
  EXPECT_FALSE(error_.IsError());
}

TEST_F(CTkDirectoryListing, CallbackErrorStopsTheWalk) {
  EXPECT_EQ(Walk(false, "a.dat").size(), 1u);
  EXPECT_EQ(error_.GetErrorCode(), -ECANCELED);
}

TEST_F(CTkDirectoryListing, OpenGetEntryWithPattern) {
  WriteFile(dir_ / ".hidden", "h");
  EXPECT_EQ(List("*", true), (std::vector<std::string>{".hidden", "a.dat", "b.xml", "sub/"}));
  EXPECT_EQ(List("*", false),
            (std::vector<std::string>{"../", "./", ".hidden", "a.dat", "b.xml", "sub/"}));
  EXPECT_EQ(List("*.dat", true), std::vector<std::string>{"a.dat"});
}

}  // namespace
