// A job's tree: the paths a restore accepts from a store, entries read back
// by prefix and page in path order.
#include "StorageFixture.h"
#include "storage/JobTree.h"

namespace cldbtest {
namespace {

using cldb::EntryKind;
using cldb::TreeEntry;

TEST(JobTreePaths, OnlySafeRelativePathsAreAccepted) {
  for (const char* safe : {"a", "a/b", "usr/share/doc", "..a", "a..", "a/.b", "a b/c"})
    EXPECT_TRUE(cldb::IsSafeEntryPath(safe)) << safe;
  for (std::string unsafe :
       {std::string(""), std::string("/"), std::string("/etc/passwd"), std::string(".."),
        std::string("a/.."), std::string("../a"), std::string("a/../../b"), std::string("."),
        std::string("a/./b"), std::string("a//b"), std::string("a/"), std::string("a\0b", 3)})
    EXPECT_FALSE(cldb::IsSafeEntryPath(unsafe)) << unsafe;
}

TEST(JobTreePaths, EntriesMustMatchWhatTheyClaim) {
  TreeEntry file;
  file.path = "f";
  file.size = 4097;
  file.data = std::string(128, 'd');  // two blocks of 4096
  EXPECT_EQ(cldb::CheckEntry(file, 4096), "");
  EXPECT_EQ(cldb::BlockSize(file, 1, 4096), 1u);
  file.size = 4096;
  EXPECT_NE(cldb::CheckEntry(file, 4096), "");
  file.data.pop_back();
  EXPECT_NE(cldb::CheckEntry(file, 4096), "");
  TreeEntry link;
  link.path = "l";
  link.kind = EntryKind::kSymlink;
  link.data = "../anywhere";  // a link may point anywhere; it is made, not followed
  EXPECT_EQ(cldb::CheckEntry(link, 4096), "");
  link.data = std::string("x\0y", 3);
  EXPECT_NE(cldb::CheckEntry(link, 4096), "");
  link.data = "x";
  link.path = "../l";
  EXPECT_NE(cldb::CheckEntry(link, 4096), "");
}

using JobTreeTest = StorageTest;

// "a-b" and "a.c" sort between "a" and "a/..." as bytes; they are not below "a".
TEST_F(JobTreeTest, EntriesAreReadBelowAPathPageByPage) {
  const std::vector<std::string> paths = {"a", "a-b", "a.c", "a/x", "a/y", "a/y/z", "b"};
  std::vector<TreeEntry> entries;
  for (const std::string& path : paths) {
    TreeEntry entry;
    entry.path = path;
    entry.kind = EntryKind::kFolder;
    entries.push_back(entry);
  }
  uint32_t jobId = JobWithFiles(1, 1, 0), other = JobWithFiles(1, 1, 0);
  cldb::Database& db = backend_->Db();
  {
    auto lock = db.Lock();
    ASSERT_EQ(db.Transaction(true,
                             [&] {
                               return cldb::InsertEntries(db, jobId, entries) ||
                                      cldb::InsertEntries(db, other, {entries[0]});
                             }),
              0);
  }
  auto read = [&](const std::string& path, size_t pageSize) {
    std::vector<std::string> seen;
    std::vector<TreeEntry> page;
    std::string after;
    do {
      EXPECT_EQ(cldb::ReadEntries(db, jobId, path, after, pageSize, page), 0);
      for (const TreeEntry& entry : page) seen.push_back(entry.path);
      if (!page.empty()) after = page.back().path;
    } while (page.size() == pageSize);
    return seen;
  };
  using Paths = std::vector<std::string>;
  for (size_t pageSize : {1u, 2u, 100u}) {
    SCOPED_TRACE(pageSize);
    EXPECT_EQ(read("", pageSize), paths);
    EXPECT_EQ(read("a", pageSize), (Paths{"a", "a/x", "a/y", "a/y/z"}));
    EXPECT_EQ(read("a/y", pageSize), (Paths{"a/y", "a/y/z"}));
    EXPECT_EQ(read("a-b", pageSize), Paths{"a-b"});
    EXPECT_EQ(read("c", pageSize), Paths{});
  }
}

}  // namespace
}  // namespace cldbtest
