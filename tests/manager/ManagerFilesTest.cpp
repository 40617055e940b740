// Files of a CLDB folder that are not what they should be: a link, a FIFO or
// a folder in the place of a file, a State.xml too large or too deep to be
// ours. Each is made again (or refused) at the next Initialize, never
// followed, never waited on, and never a permanent failure. Every run
// happens in a child process, so that a hang or a crash fails the test only.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "ManagerFixture.h"

namespace cldbtest {
namespace {

namespace fs = std::filesystem;

class ManagerFiles : public ManagerTest {
 protected:
  // In a child: Initialize, find `block`'s absence, insert it, find it, close;
  // 0 when all went so.
  int UseCLDB(const CacheRecordRef& block) {
    return RunInChild([&] {
      bool offline = false;
      if (Initialize(offline) != 0) return 1;
      if (Found(block)) return 2;
      CacheRecordRef insert = block;
      if (manager->InsertSignature(&insert, 1) != 0 || !Found(block)) return 3;
      return manager->Uninitialize(false) == 0 && StoredState(Folder(), 12) == 2 ? 0 : 4;
    });
  }
};

TEST_F(ManagerFiles, WhateverStandsInThePlaceOfAFileIsReplacedAndNeverFollowed) {
  WriteFile(root / "victim", "keep");
  const char* kinds[] = {"folder", "fifo", "link"};
  const char* entries[] = {"CacheTable.dat", "CacheTable.idx", "CacheTable.dat-lock", "State.xml",
                           "State.xml.tmp"};
  unsigned seed = 1;
  for (const char* entry : entries) {
    for (const std::string kind : kinds) {
      SCOPED_TRACE(std::string(entry) + " " + kind);
      MakeCleanCLDB({{kT0, Block(seed++, 5)}});
      const std::string path = Folder() + "/" + entry;
      fs::remove(path);
      if (kind == "folder") {
        ASSERT_TRUE(fs::create_directories(path + "/inside"));
        ASSERT_EQ(0, symlink((root / "victim").c_str(), (path + "/inside/link").c_str()));
      } else if (kind == "fifo") {
        ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
      } else {
        ASSERT_EQ(0, symlink((root / "victim").c_str(), path.c_str()));
      }
      WriteFile(Folder() + "/notes.txt", "not the CLDB's");
      EXPECT_TRUE(ExitedWith(UseCLDB(Block(seed++, 6)), 0));
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Folder() + "/CacheTable.dat")));
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Folder() + "/State.xml")));
      EXPECT_EQ("keep", ReadFile(root / "victim"));
      EXPECT_EQ("not the CLDB's", ReadFile(Folder() + "/notes.txt"));
    }
  }
}

// A State.xml of 100,000 nested elements, or just past the size its check
// allows, is refused like a damaged one before anything parses it.
TEST_F(ManagerFiles, AStateFileTooDeepOrTooLargeIsRefusedUnparsed) {
  const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>";
  std::string deep = declaration + "<CLDB>";
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  for (int i = 0; i < 100000; ++i) deep += "</a>";
  deep += "</CLDB>";
  storage->SetValidAFiles(12, {5});  // a CLDB that was kept would find the block
  unsigned seed = 1;
  for (bool tooDeep : {true, false}) {
    SCOPED_TRACE(tooDeep);
    MakeCleanCLDB({{kT0, Block(seed, 5)}});
    std::string text = ReadFile(Folder() + "/State.xml");
    text = tooDeep ? deep : text + std::string(1024 - text.size(), ' ');
    WriteFile(Folder() + "/State.xml", text);
    EXPECT_TRUE(ExitedWith(UseCLDB(Block(seed++, 5)), 0));  // made again: the block is gone
  }
}

}  // namespace
}  // namespace cldbtest
