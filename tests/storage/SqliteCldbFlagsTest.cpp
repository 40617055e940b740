// What the storage database says about each CLDB: a client's CLDBs are
// flagged per copy, and drops mark every CLDB that may still reference
// what was dropped, never while such a CLDB is in use.
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

// A dropped archive file may be referenced by the newer archive files of its
// client and copy (through re-pointed records) and by the copy's auxiliary
// CLDB; nothing else is touched.
TEST_F(SqliteCldbFlags, DropsMarkTheCldbsThatMayReferenceTheDroppedFiles) {
  struct Case {
    const char* what;
    bool dropJob;
    int drop;          // index into the files of client 10 copy 1
    int clientDirty;   // client 10's CLDB of copy 1 afterwards
  };
  for (const Case& c : {Case{"oldest file", false, 0, 1}, Case{"newest file", false, 2, 0},
                        Case{"oldest job", true, 0, 1}, Case{"newest job", true, 2, 0}}) {
    SCOPED_TRACE(c.what);
    TempDir root;  // a fresh database for each case
    std::string error;
    ASSERT_NE(backend_ = SqliteStorageBackend::Open(root.path(), error), nullptr) << error;
    std::vector<uint32_t> files;
    uint32_t first = JobWithFiles(10, 1, 2, &files);
    uint32_t last = JobWithFiles(10, 1, 1, &files);
    JobWithFiles(10, 2, 1);
    JobWithFiles(11, 1, 1);
    for (auto [app, copy] : {std::pair{10u, 1u}, {10u, 2u}, {11u, 1u}}) Recreated(app, copy);
    for (uint32_t copy : {1u, 2u}) ASSERT_EQ(backend_->MarkCopyClean(copy, true), 0);

    const int rc = c.dropJob ? backend_->DropJob(c.drop == 0 ? first : last)
                             : backend_->DropArchiveFile(files[c.drop]);
    ASSERT_EQ(rc, 0) << backend_->LastError();
    EXPECT_EQ(Dirty(10, 1), c.clientDirty);
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
  for (const std::string& name :
       {cldb::ClientCldbFolderName(10, 2), cldb::AuxCldbFolderName(2)}) {
    SCOPED_TRACE(name);
    cldb::CldbFolderLock job(CldbFolder(name));
    ASSERT_TRUE(job.TryLock()) << job.Error();
    EXPECT_EQ(backend_->DropArchiveFile(files[0]), SqliteStorageBackend::kInUse);
    EXPECT_NE(backend_->LastError().find("in use"), std::string::npos) << backend_->LastError();
    EXPECT_EQ(backend_->DropJob(jobId), SqliteStorageBackend::kInUse);
    if (name == cldb::ClientCldbFolderName(10, 2)) {
      EXPECT_EQ(backend_->MarkClientDirty(10), SqliteStorageBackend::kInUse);
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
