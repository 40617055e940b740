// Lifecycle, typed accessors, failed rewrites and parsing of hostile files.
#include <sys/stat.h>

#include <string>

#include "StateFileFixture.h"

namespace cldbtest {
namespace {

// ---- Lifecycle ------------------------------------------------------------------

using Lifecycle = StateFileTest;

TEST_F(Lifecycle, OpenAndCreateBeforeInitializeFailWithoutHarm) {
  CCLDBStateFile fresh;
  EXPECT_EQ(-1, fresh.Open());
  EXPECT_EQ(-1, fresh.Create(kStoreId));
  EXPECT_TRUE(log_.Contains(1, "CCLDBStateFile::Open: Not Initialized"));
  EXPECT_TRUE(log_.Contains(1, "CCLDBStateFile::Create(): Not Initialized"));
  EXPECT_FALSE(log_.Contains("Lock failed"));
}

TEST_F(Lifecycle, OpenRefusesWhileOpenAndWorksAgainAfterClose) {
  CreateFile();
  ASSERT_EQ(0, state_.Open());
  EXPECT_EQ(-1, state_.Open());
  EXPECT_TRUE(log_.Contains(1, "State-File found opened state"));
  EXPECT_EQ(0, state_.Close());
  EXPECT_EQ(0, state_.Open());
  EXPECT_EQ(0, state_.Close());
}

TEST_F(Lifecycle, OpenNamesTheFolderWhenTheFileIsMissing) {
  EXPECT_EQ(-1, state_.Open());
  EXPECT_TRUE(log_.Contains(1, std::string("State File does not exist[") + Folder() + "]"));
}

TEST_F(Lifecycle, CreateNeverReplacesAnExistingFile) {
  SetContent("keep me");
  EXPECT_EQ(-1, state_.Create(kStoreId));
  EXPECT_TRUE(log_.Contains(1, "Cannot open file [" + Path() + "], error="));
  EXPECT_EQ("keep me", Content());
}

TEST_F(Lifecycle, CloseAndUninitializeWhenNotOpenChangeNothing) {
  CreateFile();
  ino_t inode = Inode();
  EXPECT_EQ(0, state_.Close());
  EXPECT_EQ(0, state_.Uninitialize());
  EXPECT_EQ(0, state_.Uninitialize());
  EXPECT_EQ(inode, Inode());
  unsigned int version = 0;
  EXPECT_EQ(-1, state_.GetVersion(version)) << "uninitialised objects cannot open";
}

TEST_F(Lifecycle, UninitializeWritesAnOpenDocument) {
  CreateFile();
  ASSERT_EQ(0, state_.Open());
  state_.SetElementText("State", 2u);
  EXPECT_EQ(0, state_.Uninitialize());
  EXPECT_NE(std::string::npos, Content().find("<State>2</State>"));
}

TEST_F(Lifecycle, ExistsWithoutALogObject) {
  bool exists = true;
  EXPECT_EQ(0, CCLDBStateFile::Exists(Folder(), exists, nullptr));
  EXPECT_FALSE(exists);
  CreateFile();
  EXPECT_EQ(0, CCLDBStateFile::Exists(Folder(), exists, nullptr));
  EXPECT_TRUE(exists);
}

// ---- Typed accessors ---------------------------------------------------------------

using TypedAccess = StateFileTest;

TEST_F(TypedAccess, ReadTheCreatedValues) {
  CreateFile();
  unsigned int state = 9, version = 9, store = 9, compact = 0, access = 0;
  unsigned long long count = 9;
  EXPECT_EQ(0, state_.GetState(state));
  EXPECT_EQ(0, state_.GetVersion(version));
  EXPECT_EQ(0, state_.GetSIDBStoreID(store));
  EXPECT_EQ(0, state_.GetRecordCount(count));
  EXPECT_EQ(0, state_.GetLastCompactTime(compact));
  EXPECT_EQ(0, state_.GetLastAccessTime(access));
  EXPECT_EQ(0u, state);
  EXPECT_EQ(2u, version);
  EXPECT_EQ(kStoreId, store);
  EXPECT_EQ(0ull, count);
  EXPECT_NE(0u, compact);
  EXPECT_GE(access, compact);
  EXPECT_FALSE(log_.Contains("failed"));
}

TEST_F(TypedAccess, WritersChangeOnlyTheirElement) {
  CreateFile();
  const unsigned long long big = (1ull << 40) + 5;
  ASSERT_EQ(0, state_.SetState(2));
  ASSERT_EQ(0, state_.SetSIDBStoreID(1234));
  ASSERT_EQ(0, state_.SetRecordCount(big));
  ASSERT_EQ(0, state_.SetLastCompactTime(4000000000u));

  unsigned int state = 0, store = 0, compact = 0, version = 0;
  unsigned long long count = 0;
  EXPECT_EQ(0, state_.GetState(state));
  EXPECT_EQ(0, state_.GetSIDBStoreID(store));
  EXPECT_EQ(0, state_.GetRecordCount(count));
  EXPECT_EQ(0, state_.GetLastCompactTime(compact));
  EXPECT_EQ(0, state_.GetVersion(version));
  EXPECT_EQ(2u, state);
  EXPECT_EQ(1234u, store);
  EXPECT_EQ(big, count);
  EXPECT_EQ(4000000000u, compact);
  EXPECT_EQ(2u, version);
  EXPECT_EQ(1u, Occurrences(Content(), "<SIDBSTOREID>"));
  EXPECT_EQ(0, state_.CheckStatefileSanity());
}

TEST_F(TypedAccess, EveryReadRewritesTheFile) {
  CreateFile();
  ino_t inode = Inode();
  unsigned int version = 0;
  ASSERT_EQ(0, state_.GetVersion(version));
  ino_t afterFirst = Inode();
  EXPECT_NE(inode, afterFirst);
  ASSERT_EQ(0, state_.GetVersion(version));
  EXPECT_NE(afterFirst, Inode());
  EXPECT_EQ(2u, version);
}

TEST_F(TypedAccess, OwnerIsAppendedOnceAfterLastAccessTime) {
  CreateFile();
  unsigned long long owner = 42;
  EXPECT_EQ(0, state_.GetOwner(owner));
  EXPECT_EQ(42ull, owner);
  EXPECT_TRUE(log_.Contains(1, "[CCLDBStateFile::GetOwner] failed"));

  ASSERT_EQ(0, state_.SetOwner(1));
  ASSERT_EQ(0, state_.SetOwner(0xFFFFFFFFFFFFFFFFull));
  const std::string text = Content();
  EXPECT_EQ(1u, Occurrences(text, "<Owner>"));
  EXPECT_LT(text.find("</LastAccessTime>"), text.find("<Owner>"));
  EXPECT_NE(std::string::npos, text.find("<Owner>18446744073709551615</Owner></CLDB>"));
  EXPECT_EQ(0, state_.GetOwner(owner));
  EXPECT_EQ(0xFFFFFFFFFFFFFFFFull, owner);
}

TEST_F(TypedAccess, SetOwnerClosesADocumentLeftOpen) {
  CreateFile();
  ASSERT_EQ(0, state_.Open());
  EXPECT_EQ(0, state_.SetOwner(3));
  unsigned long long owner = 0;
  EXPECT_EQ(0, state_.GetOwner(owner));
  EXPECT_EQ(3ull, owner);
}

TEST_F(TypedAccess, BadValueIsLoggedAndLeavesTheOutValue) {
  CreateFile();
  Edit("<State>0</State>", "<State>open</State>");
  unsigned int state = 9;
  EXPECT_EQ(0, state_.GetState(state));
  EXPECT_EQ(9u, state);
  EXPECT_TRUE(log_.Contains(1, "[CCLDBStateFile::GetState] failed"));

  Edit("<RECORDCOUNT>0</RECORDCOUNT>", "<RECORDCOUNT>n</RECORDCOUNT>");
  unsigned long long count = 9;
  EXPECT_EQ(0, state_.GetRecordCount(count));
  EXPECT_EQ(9ull, count);
  EXPECT_TRUE(log_.Contains(1, "[CCLDBStateFile::GetRecordCOunt] failed"));
}

TEST_F(TypedAccess, MissingLastAccessTimeFailsItsReader) {
  CreateFile();
  std::string text = Content();
  size_t from = text.find("<LastAccessTime>");
  size_t to = text.find("</LastAccessTime>") + std::string("</LastAccessTime>").size();
  SetContent(text.erase(from, to - from));
  unsigned int access = 9;
  EXPECT_EQ(-1, state_.GetLastAccessTime(access));
  EXPECT_EQ(9u, access);
  EXPECT_TRUE(log_.Contains(1, "[CCLDBStateFile::GetLastAccessTime] failed"));
  EXPECT_EQ(1u, Occurrences(Content(), "<LastAccessTime>")) << "its close stamps a new one";
}

TEST_F(TypedAccess, GetStateRefusesAFileFailingTheCheck) {
  CreateFile();
  Edit("<CLDB>", "<cldb>");
  Edit("</CLDB>", "</cldb>");
  unsigned int state = 9;
  EXPECT_EQ(-1, state_.GetState(state));
  EXPECT_EQ(9u, state);
  EXPECT_TRUE(log_.Contains("Statefile found corrupted"));
  unsigned int version = 0;
  EXPECT_EQ(0, state_.GetVersion(version)) << "only GetState runs the check";
  EXPECT_EQ(2u, version);
}

TEST_F(TypedAccess, AccessorsReportAMissingFile) {
  unsigned int value = 9;
  EXPECT_EQ(-1, state_.GetVersion(value));
  EXPECT_EQ(-1, state_.SetState(1));
  EXPECT_TRUE(log_.Contains(1, "[CCLDBStateFile::GetVersion] Open failed"));
  EXPECT_TRUE(log_.Contains(1, "[CCLDBStateFile::SetState] Open failed"));
  EXPECT_EQ(9u, value);
}

// ---- Failed rewrites -------------------------------------------------------------------
// The temporary file is made a folder so the rewrite cannot open it; the
// tests run as root, so permissions would not stop a write.

class FailedRewrite : public StateFileTest {
 protected:
  void BlockRewrites() { ASSERT_EQ(0, mkdir((Path() + ".tmp").c_str(), 0755)); }
};

TEST_F(FailedRewrite, WriterFailsAndTheFileStaysAsItWas) {
  CreateFile();
  const std::string before = Content();
  BlockRewrites();
  EXPECT_EQ(-1, state_.SetState(2));
  EXPECT_EQ(before, Content());
  EXPECT_TRUE(log_.Contains(1, "Cannot open file [" + Path() + ".tmp], error="));
  EXPECT_TRUE(log_.Contains(1, "[CCLDBStateFile::Close] Cannot write the state file."));
  EXPECT_EQ(-1, state_.SetOwner(5));
  EXPECT_EQ(-1, state_.SetRecordCount(5));
  EXPECT_EQ(before, Content());
}

TEST_F(FailedRewrite, ReaderStillReturnsWhatItRead) {
  CreateFile();
  ASSERT_EQ(0, state_.SetState(2));
  BlockRewrites();
  unsigned int state = 0;
  EXPECT_EQ(0, state_.GetState(state));
  EXPECT_EQ(2u, state);
  EXPECT_TRUE(log_.Contains("Cannot write the state file."));
}

TEST_F(FailedRewrite, CreateFailsAndLeavesNoFile) {
  BlockRewrites();
  EXPECT_EQ(-1, state_.Create(kStoreId));
  bool exists = true;
  EXPECT_EQ(0, CCLDBStateFile::Exists(Folder(), exists, nullptr));
  EXPECT_FALSE(exists);
}

// ---- Parsing --------------------------------------------------------------------------

class Parsing : public StateFileTest {
 protected:
  // Open must fail and hold no document afterwards.
  void ExpectRejected() {
    EXPECT_EQ(-1, state_.Open());
    unsigned int value = 9;
    EXPECT_EQ(1, state_.GetElementText("Version", value)) << "a document is still held";
    EXPECT_EQ(9u, value);
    EXPECT_EQ(-1, state_.Open()) << "must not be left in the open state";
    EXPECT_FALSE(log_.Contains("State-File found opened state"));
  }
};

TEST_F(Parsing, NotWellFormedFileFailsOpen) {
  CreateFile();
  Edit("</State>", "</Stat>");
  ExpectRejected();
  EXPECT_TRUE(log_.Contains("Cannot parse [" + Path() + "]"));
}

TEST_F(Parsing, ForeignRootFailsOpen) {
  SetContent("<?xml version=\"1.0\"?><Other><Version>2</Version></Other>");
  ExpectRejected();
  EXPECT_TRUE(log_.Contains(1, "Invalid state.xml file CLDB tag not found[" + Path() + "]"));
}

TEST_F(Parsing, NonXmlAndEmptyFilesFailOpen) {
  for (const char* text : {"", "\xff\xfe\x00", "<CLDB>", "plain text"}) {
    SCOPED_TRACE(text);
    SetContent(text);
    ExpectRejected();
  }
}

TEST_F(Parsing, ExternalEntitiesAreNeverRead) {
  WriteFile(dir_ / "secret", "SECRET");
  SetContent("<?xml version=\"1.0\"?><!DOCTYPE CLDB [<!ENTITY s SYSTEM \"" + (dir_ / "secret") +
             "\">]><CLDB><Version>&s;</Version></CLDB>");
  ExpectRejected();
}

TEST_F(Parsing, ExternalDtdIsNeverRead) {
  WriteFile(dir_ / "ext.dtd", "<!ENTITY v \"2\">");
  SetContent("<?xml version=\"1.0\"?><!DOCTYPE CLDB SYSTEM \"" + (dir_ / "ext.dtd") +
             "\"><CLDB><Version>&v;</Version></CLDB>");
  ExpectRejected();
}

TEST_F(Parsing, EntityExpansionBombFailsOpen) {
  std::string dtd = "<!ENTITY a \"aaaaaaaaaa\">";
  for (char e = 'b'; e <= 'h'; ++e) {
    std::string prev(1, static_cast<char>(e - 1));
    std::string refs;
    for (int i = 0; i < 10; ++i) refs += "&" + prev + ";";
    dtd += "<!ENTITY " + std::string(1, e) + " \"" + refs + "\">";
  }
  SetContent("<?xml version=\"1.0\"?><!DOCTYPE CLDB [" + dtd +
             "]><CLDB><Version>&h;</Version></CLDB>");
  ExpectRejected();
}

TEST_F(Parsing, DeclaredEncodingAndStandaloneAreNormalisedOnRewrite) {
  CreateFile();
  std::string text = Content();
  // Keep the required declaration in a comment so the file passes the check.
  text.replace(0, text.find("<CLDB>"),
               "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"yes\"?><!--"
               "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>-->");
  SetContent(text);
  ASSERT_EQ(0, state_.SetState(1));
  EXPECT_EQ(0u, Content().find("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>"))
      << Content();
}

}  // namespace
}  // namespace cldbtest
