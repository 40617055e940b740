// What the storage database says about each CLDB: a client's CLDBs are
// flagged per copy, the valid list follows what can be served, and drops
// change what a CLDB may trust only while no job uses it.
#include "StorageFixture.h"
#include "storage/RootFolder.h"

namespace cldbtest {
namespace {

class SqliteCldbFlags : public StorageTest {
 protected:
  // The dirty value the library reads for client `app`'s CLDB of `copy`,
  // asked as a job of that client and copy does.
  int Dirty(uint32_t app, uint32_t copy) {
    uint32_t jobId = 0;
    EXPECT_EQ(backend_->BeginJob(app, copy, jobId), 0);
    int dirty = -1;
    EXPECT_EQ(backend_->isClientCacheDBDirty(app, dirty), 0);
    EXPECT_EQ(backend_->EndJob(jobId, 0), 0);
    return dirty;
  }
  // Records the CLDB of (app, copy) recreated, as the library does at a
  // job's start.
  void Recreated(uint32_t app, uint32_t copy) {
    uint32_t jobId = 0;
    ASSERT_EQ(backend_->BeginJob(app, copy, jobId), 0);
    ASSERT_EQ(backend_->setClientCacheDBDirty(app, 0), 0) << backend_->LastError();
    ASSERT_EQ(backend_->EndJob(jobId, 0), 0);
  }
  bool AuxClean(uint32_t copy) {
    bool clean = false;
    EXPECT_EQ(backend_->isCopyClientCacheDBClean(0, copy, clean), 0);
    return clean;
  }
  std::string CldbFolder(const std::string& name) const { return dir_ / name; }
  // The archive files handed to client `app`'s CLDB of `copy`.
  std::vector<int> Valid(uint32_t app, uint32_t copy) {
    ListAfileIdByAppIdArgs_t args;
    args.appId = app, args.copyId = copy;
    ListAfileIdByAppIdRet_t ret;
    EXPECT_EQ(backend_->listAfileIdByAppId(args, ret), 0);
    return ret.afileIds;
  }
};

// Recreating one copy's CLDB clears no other copy's flag, and marking the
// client dirty reaches every copy.
TEST_F(SqliteCldbFlags, AClientIsDirtyPerCopy) {
  EXPECT_EQ(Dirty(30, 1), 1);  // never recreated
  Recreated(30, 1);
  EXPECT_EQ(Dirty(30, 1), 0);
  EXPECT_EQ(Dirty(30, 2), 1);
  Recreated(30, 2);
  ASSERT_EQ(backend_->MarkClientDirty(30), 0);
  EXPECT_EQ(Dirty(30, 1), 1);
  Recreated(30, 1);
  EXPECT_EQ(Dirty(30, 1), 0);
  EXPECT_EQ(Dirty(30, 2), 1);
  EXPECT_EQ(Dirty(31, 2), 1);
}

// Without a running job of the client no copy is named: its CLDBs count as
// dirty, and only marking them dirty is accepted.
TEST_F(SqliteCldbFlags, WithoutARunningJobOfTheClientItsCldbIsDirty) {
  Recreated(30, 1);
  uint32_t otherJob = 0;
  ASSERT_EQ(backend_->BeginJob(31, 1, otherJob), 0);
  for (bool jobOfAnotherClient : {true, false}) {
    SCOPED_TRACE(jobOfAnotherClient);
    if (!jobOfAnotherClient) {
      ASSERT_EQ(backend_->EndJob(otherJob, 0), 0);
    }
    int dirty = -1;
    EXPECT_TRUE(backend_->isClientCacheDBDirty(30, dirty) == 0 && dirty == 1);
    EXPECT_EQ(backend_->setClientCacheDBDirty(30, 0), -1);
    EXPECT_NE(backend_->LastError().find("which copy"), std::string::npos);
  }
  EXPECT_EQ(Dirty(30, 1), 0);
  ASSERT_EQ(backend_->setClientCacheDBDirty(30, 1), 0);
  EXPECT_EQ(Dirty(30, 1), 1);
}

// The valid list a client's CLDB receives holds exactly the archive files
// that can serve every block their records may answer for. Job 1's file A
// stores a and b; job 2's file B stores c and references a (a hit
// re-pointed a's record at B). Losing a file breaks the files that
// reference a block of which it held the last copy on the copy; dropping a
// job keeps its blocks for the files that reference them. No CLDB needs
// recreating for that; the copy's auxiliary CLDB, checked against no list,
// does.
TEST_F(SqliteCldbFlags, TheValidListHoldsExactlyTheFilesThatCanServeTheirBlocks) {
  struct Case {
    const char* what;
    bool dropJob;            // else lose an archive file
    int which;               // job 1 or 2 (0, 1), archive file A or B (0, 1)
    bool otherCopyOfA;       // client 11 stores a on copy 1 too
    std::vector<int> valid;  // of A (0) and B (1)
  };
  for (const Case& c :
       {Case{"losing A", false, 0, false, {}},
        Case{"losing A with a held elsewhere", false, 0, true, {1}},
        Case{"losing B", false, 1, false, {0}}, Case{"dropping job 1", true, 0, false, {1}},
        Case{"dropping job 2", true, 1, false, {0}}}) {
    SCOPED_TRACE(c.what);
    TempDir root;  // a fresh database for each case
    std::string error;
    ASSERT_NE(backend_ = cldb::SqliteStorageBackend::Open(root.path(), error), nullptr) << error;
    const TestBlock a("a"), b("b"), d("c");
    std::vector<uint32_t> files, other;
    const uint32_t job1 = JobWithFiles(10, 1, 1, &files);
    ASSERT_EQ(StoreBatch(*backend_, job1, 1, files[0], {&a, &b}), 0);
    ASSERT_EQ(backend_->EndJob(job1, 0), 0);
    const uint32_t job2 = JobWithFiles(10, 1, 1, &files);
    std::vector<size_t> unresolved;
    ASSERT_EQ(StoreBatch(*backend_, job2, 1, files[1], {&d}, {&a}, &unresolved), 0);
    ASSERT_TRUE(unresolved.empty());
    ASSERT_EQ(backend_->EndJob(job2, 0), 0);
    const uint32_t job3 = JobWithFiles(11, 1, 1, &other);
    if (c.otherCopyOfA) {
      ASSERT_EQ(StoreBatch(*backend_, job3, 1, other[0], {&a}), 0);
    }
    ASSERT_EQ(backend_->EndJob(job3, 0), 0);
    JobWithFiles(10, 2, 1);
    for (auto [app, copy] : {std::pair{10u, 1u}, {10u, 2u}, {11u, 1u}}) Recreated(app, copy);
    for (uint32_t copy : {1u, 2u}) ASSERT_EQ(backend_->MarkCopyClean(copy, true), 0);

    const int rc = c.dropJob ? backend_->DropJob(c.which == 0 ? job1 : job2)
                             : backend_->DropArchiveFile(files[c.which]);
    ASSERT_EQ(rc, 0) << backend_->LastError();
    std::vector<int> expected;
    for (int i : c.valid) expected.push_back(static_cast<int>(files[i]));
    EXPECT_EQ(Valid(10, 1), expected);
    EXPECT_EQ(Valid(11, 1), std::vector<int>{static_cast<int>(other[0])});
    EXPECT_EQ(Dirty(10, 1), 0);
    EXPECT_FALSE(AuxClean(1));
    EXPECT_EQ(Dirty(10, 2), 0);
    EXPECT_EQ(Dirty(11, 1), 0);
    EXPECT_TRUE(AuxClean(2));
    backend_.reset();
  }
}

// While a job holds a CLDB that may reference the files, a drop is refused
// and changes nothing; once the job has ended it goes through.
TEST_F(SqliteCldbFlags, ADropWaitsUntilNoJobHoldsACldbThatMayReferenceTheFiles) {
  std::vector<uint32_t> files;
  uint32_t jobId = JobWithFiles(10, 2, 2, &files);
  Recreated(10, 2);
  ASSERT_EQ(backend_->MarkCopyClean(2, true), 0);
  for (const std::string& name : {cldb::ClientCldbFolderName(10, 2), cldb::AuxCldbFolderName(2)}) {
    SCOPED_TRACE(name);
    cldb::CldbFolderLock job(CldbFolder(name));
    ASSERT_TRUE(job.TryLock()) << job.Error();
    EXPECT_EQ(backend_->DropArchiveFile(files[0]), cldb::SqliteStorageBackend::kInUse);
    EXPECT_NE(backend_->LastError().find("in use"), std::string::npos) << backend_->LastError();
    EXPECT_EQ(backend_->DropJob(jobId), cldb::SqliteStorageBackend::kInUse);
    if (name == cldb::ClientCldbFolderName(10, 2)) {
      EXPECT_EQ(backend_->MarkClientDirty(10), cldb::SqliteStorageBackend::kInUse);
    }
    EXPECT_EQ(Jobs(*backend_).at(0).archiveFiles, 2u);
    EXPECT_EQ(Dirty(10, 2), 0);
    EXPECT_TRUE(AuxClean(2));
  }
  // The locks of other clients and copies do not matter.
  cldb::CldbFolderLock other(CldbFolder(cldb::ClientCldbFolderName(10, 1)));
  ASSERT_TRUE(other.TryLock());
  EXPECT_EQ(backend_->DropArchiveFile(files[0]), 0) << backend_->LastError();
  EXPECT_EQ(backend_->DropJob(jobId), 0) << backend_->LastError();
}

}  // namespace
}  // namespace cldbtest
