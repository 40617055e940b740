#include <gtest/gtest.h>
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
  EXPECT_FALSE(CTkPath::Exists(path.c_str(), exists).IsError()) << path;
  return exists;
}

// (Reads, writes and their error texts are pinned by the state-file suite.)
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

TEST(CTkDirectory, PathsAndCreateAndRemoveNeverFollowingLinks) {
  TempDir dir;
  EXPECT_STREQ(CTkPath::Append("/a/b//", "/c").c_str(), "/a/b/c");
  EXPECT_STREQ(CTkPath::Append("/", "c").c_str(), "/c");
  EXPECT_TRUE(CTkDirectory::Create((dir / "x/y/z").c_str(), false).IsError());
  ASSERT_FALSE(CTkDirectory::Create((dir / "x/y/z").c_str(), true).IsError());
  EXPECT_FALSE(CTkDirectory::Create((dir / "x/y/z").c_str(), true).IsError());
  WriteFile(dir / "x/f1", "1");
  WriteFile(dir / "x/y/z/f2", "2");
  EXPECT_FALSE(Exists(dir / "x/f1/below"));  // a file is no folder: not an error
  EXPECT_TRUE(CTkDirectory::Create((dir / "x/f1").c_str(), true).IsError());
  EXPECT_TRUE(CTkDirectory::Remove((dir / "x").c_str(), false, false).IsError());  // not empty
  ASSERT_FALSE(CTkDirectory::Remove((dir / "x").c_str(), true, true).IsError());
  EXPECT_TRUE(CTkPath::IsDirectory((dir / "x").c_str()));
  EXPECT_FALSE(Exists(dir / "x/f1") || Exists(dir / "x/y"));

  WriteFile(dir / "x/f3", "3");
  ASSERT_EQ(symlink((dir / "x").c_str(), (dir / "link").c_str()), 0);
  EXPECT_TRUE(CTkDirectory::Remove((dir / "link").c_str(), true, false).IsError());
  EXPECT_TRUE(Exists(dir / "x/f3"));  // a link's target is left alone
  ASSERT_FALSE(CTkDirectory::Remove((dir / "x").c_str(), true, false).IsError());
  EXPECT_FALSE(Exists(dir / "x"));
}

// Records "folder|name|d" (or "|f"); stops the walk with an error at "stop".
CTkError Record(const char* folder, const char* name, bool isDirectory, void* context) {
  static_cast<std::vector<std::string>*>(context)->push_back(std::string(folder) + "|" + name +
                                                             (isDirectory ? "|d" : "|f"));
  return std::string(name) == "stop" ? CTkError(-ECANCELED, "stopped") : CTkError();
}

// (Listing one folder is pinned by the instance suite's DeleteCLDB tests.)
TEST(CTkDirectory, WalkRecursesAndStopsAtACallbackError) {
  TempDir dir;
  const std::string& d = dir.path();
  ASSERT_FALSE(CTkDirectory::Create((dir / "sub/deeper").c_str(), true).IsError());
  for (const char* name : {".hidden", "a.dat", "sub/c.dat", "sub/deeper/d.dat"})
    WriteFile(dir / name, "x");
  std::vector<std::string> seen;
  EXPECT_FALSE(CTkDirectory::Walk(d.c_str(), &seen, 0, true, Record).IsError());
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{d + "/sub/deeper|d.dat|f", d + "/sub|c.dat|f",
                                            d + "/sub|deeper|d", d + "|.hidden|f", d + "|a.dat|f",
                                            d + "|sub|d"}));
  WriteFile(dir / "stop", "x");  // sorts between "a.dat" and "sub"
  seen.clear();
  EXPECT_EQ(CTkDirectory::Walk(d.c_str(), &seen, 0, true, Record).GetErrorCode(), -ECANCELED);
  EXPECT_EQ(seen.size(), 3u);
}

}  // namespace
