// One process and its State.xml: the layout of a created file, the sanity
// check, the element primitives, parsing, the lifecycle, the typed accessors
// and failed rewrites. (Other processes: StateFileProcessTest.cpp.)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>
#include <xercesc/util/XMLString.hpp>

#include "StateFileFixture.h"
#include "platform/ZelAssert.h"

namespace cldbtest {
namespace {

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>";

TEST_F(StateFileTest, CreatedFileHoldsTheSevenElementsInOrder) {
  CreateFile();
  EXPECT_EQ(kDeclaration +
                "<CLDB><Version>2</Version><State>0</State><CLDBID>7</CLDBID>"
                "<SIDBSTOREID>77</SIDBSTOREID><LastCompactTime>1700000000</LastCompactTime>"
                "<RECORDCOUNT>0</RECORDCOUNT><LastAccessTime>1700000000</LastAccessTime></CLDB>",
            Content());
  EXPECT_FALSE(std::ifstream(Path() + ".tmp").good()) << "temporary file left behind";
}

// A plain text check: 128 to 1023 bytes holding every tag, in any order.
TEST_F(StateFileTest, SanityCheckWantsEveryTagIn128To1023Bytes) {
  const std::string check = " CCLDBStateFile::CheckStatefileSanity: ";
  EXPECT_EQ(-1, state_.CheckStatefileSanity());  // no file
  CreateFile();
  const std::string valid = Content();
  const std::string size = check + "abnormalfile size [" + Path() + "] [";
  const struct {
    std::string text, message;
  } cases[] = {{"", size + "0]"},
               {std::string(127, 'x'), size + "127]"},
               {std::string(128, 'x'), check + "Statefile found corrupted [" + Path() + "]"},
               {valid + std::string(1023 - valid.size(), ' '), ""},
               {valid + std::string(1024 - valid.size(), ' '), size + "1024]"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.size());
    SetContent(c.text);
    log_.Clear();
    EXPECT_EQ(c.message.empty() ? 0 : -1, state_.CheckStatefileSanity());
    EXPECT_EQ(c.message.empty() ? 0u : 1u, log_.Count(c.message.empty() ? check : c.message));
  }
  for (size_t at = valid.find('<'); at != std::string::npos; at = valid.find('<', at + 1)) {
    std::string text = valid;
    text[at] = '[';  // one tag less
    SetContent(text);
    EXPECT_EQ(-1, state_.CheckStatefileSanity()) << text;
  }
}

TEST_F(StateFileTest, LowerCaseRootOpensButFailsTheCheckAndGetState) {
  CreateFile();
  Edit("<CLDB>", "<cldb>");
  Edit("</CLDB>", "</cldb>");
  EXPECT_EQ(-1, state_.CheckStatefileSanity());
  ASSERT_EQ(0, state_.Open());
  EXPECT_EQ(0, state_.Close());
  unsigned int state = 9, version = 0;
  EXPECT_EQ(-1, state_.GetState(state));
  EXPECT_EQ(9u, state);
  EXPECT_EQ(0, state_.GetVersion(version)) << "only GetState runs the check";
  EXPECT_EQ(2u, version);
}

using ElementPrimitives = StateFileTest;

TEST_F(ElementPrimitives, HandleNamesAndValuesOfAnyLength) {
  CreateFile();
  ASSERT_EQ(0, state_.Open());
  const std::string name = "N" + std::string(1000, 'a'), value(5000, '9');
  state_.SetElementText(name.c_str(), value.c_str());
  char* text = nullptr;
  ASSERT_EQ(0, state_.GetElementText(name.c_str(), text));
  EXPECT_EQ(value, text);
  xercesc::XMLString::release(&text);
  EXPECT_EQ(0, state_.Close());
  EXPECT_TRUE(Holds("<" + name + ">" + value + "</" + name + ">"));
}

// A number that does not parse reads -1, a missing or empty element 1, and
// both leave the value alone; of two elements of a name the first counts.
TEST_F(ElementPrimitives, ReadsTellMissingFromNotANumberAndDuplicatesAssert) {
  CreateFile();
  Edit("<RECORDCOUNT>0", "<RECORDCOUNT>  18446744073709551615x");
  Edit("<SIDBSTOREID>77", "<SIDBSTOREID>x1");
  Edit("<State>0", "<State>");
  Edit("</CLDB>", "<Version>9</Version></CLDB>");
  ASSERT_EQ(0, state_.Open());
  unsigned long long count = 5;
  EXPECT_EQ(0, state_.GetElementText("RECORDCOUNT", count));
  EXPECT_EQ(18446744073709551615ull, count);
  unsigned int value = 5;
  EXPECT_EQ(-1, state_.GetElementText("SIDBSTOREID", value));
  EXPECT_EQ(1, state_.GetElementText("State", value));
  EXPECT_EQ(5u, value);
  const unsigned long asserts = zelassertCount();
  EXPECT_EQ(0, state_.GetElementText("Version", value));
  EXPECT_EQ(2u, value);
  EXPECT_EQ(asserts + 1, zelassertCount());
  EXPECT_TRUE(log_.Contains(-1, "[ZELASSERT] pList->getLength () <= 1 CLDBStateFile int "));
  state_.SetElementText("Version", 4u);
  state_.SetElementText("State", 3u);
  EXPECT_EQ(asserts + 2, zelassertCount());
  EXPECT_EQ(0, state_.Uninitialize());  // writes the open document
  EXPECT_TRUE(Holds("<Version>4</Version><State>3</State>")) << Content();
}

// Open fails, holds no document and is not left open; entities and DTDs
// that name a file or a server are refused alike: nothing is read from the
// file and nothing connects to the listener.
TEST_F(StateFileTest, ParserReadsNoOtherFileNeverReachesTheNetworkAndRefusesBrokenOnes) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), length));
  ASSERT_EQ(0, listen(listener, 4));
  ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  WriteFile(dir_ / "secret", "SECRET");
  WriteFile(dir_ / "ext.dtd", "<!ENTITY v \"2\">");
  std::string bomb = "<!ENTITY a \"aaaaaaaaaa\">";
  for (char e = 'b'; e <= 'h'; ++e) {  // each entity ten of the one before
    bomb += std::string("<!ENTITY ") + e + " \"";
    for (int i = 0; i < 10; ++i) bomb += std::string("&") + static_cast<char>(e - 1) + ";";
    bomb += "\">";
  }
  const std::string head = "<?xml version=\"1.0\"?><!DOCTYPE CLDB ";
  const std::string body = "><CLDB><Version>&v;</Version></CLDB>";
  const std::string cases[] = {head + "[<!ENTITY v SYSTEM \"" + (dir_ / "secret") + "\">]" + body,
                               head + "SYSTEM \"" + (dir_ / "ext.dtd") + "\"" + body,
                               head + "[<!ENTITY v SYSTEM \"" + url + "/v\">]" + body,
                               head + "SYSTEM \"" + url + "/cldb.dtd\"" + body,
                               head + "[<!ENTITY % p SYSTEM \"" + url + "/p.dtd\"> %p;]" + body,
                               head + "[" + bomb + "<!ENTITY v \"&h;\">]" + body,
                               "<?xml version=\"1.0\"?><CLDB><Version>2</Versio></CLDB>",
                               "<?xml version=\"1.0\"?><Other><Version>2</Version></Other>",
                               "",
                               "plain text"};
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    SetContent(text);
    EXPECT_EQ(-1, state_.Open());
    unsigned int value = 9;
    EXPECT_EQ(1, state_.GetElementText("Version", value)) << "a document is still held";
    EXPECT_EQ(-1, state_.Open()) << "must not be left in the open state";
    EXPECT_EQ(-1, state_.GetVersion(value));
    EXPECT_EQ(9u, value);
  }
  EXPECT_FALSE(log_.Contains("State-File found opened state"));
  EXPECT_TRUE(log_.Contains(1, "Cannot parse [" + Path() + "], line ["));
  EXPECT_TRUE(log_.Contains(1, "Invalid state.xml file CLDB tag not found[" + Path() + "]"));
  EXPECT_LT(accept(listener, nullptr, nullptr), 0);
  EXPECT_EQ(EAGAIN, errno);
  close(listener);
}

TEST_F(StateFileTest, RewriteNormalisesTheDeclaredEncodingAndStandalone) {
  CreateFile();
  // The required declaration sits in a comment so the file passes the check.
  Edit(kDeclaration, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"yes\"?><!--" +
                         kDeclaration + "-->");
  ASSERT_EQ(0, state_.SetState(1));
  EXPECT_EQ(0u, Content().find(kDeclaration)) << Content();
}

using Lifecycle = StateFileTest;

TEST_F(Lifecycle, OpenAndCreateBeforeInitializeFailWithoutHarm) {
  CCLDBStateFile fresh;
  EXPECT_EQ(-1, fresh.Open());
  EXPECT_EQ(-1, fresh.Create(kStoreId));
  EXPECT_TRUE(log_.Contains(1, "CCLDBStateFile::Open: Not Initialized"));
  EXPECT_TRUE(log_.Contains(1, "CCLDBStateFile::Create(): Not Initialized"));
  EXPECT_FALSE(log_.Contains("Lock failed"));
  fresh.SetElementText("State", 1u);  // without a document there is no element
  unsigned int value = 5;
  EXPECT_EQ(1, fresh.GetElementText("State", value));
}

TEST_F(Lifecycle, CreateNeverReplacesAnExistingFile) {
  SetContent("keep me");
  EXPECT_EQ(-1, state_.Create(kStoreId));
  EXPECT_TRUE(log_.Contains(1, "Cannot open file [" + Path() + "], error="));
  EXPECT_EQ("keep me", Content());
}

TEST_F(Lifecycle, AMissingFileFailsOpenAndTheAccessors) {
  unsigned int value = 9;
  EXPECT_EQ(-1, state_.Open());
  EXPECT_EQ(-1, state_.GetVersion(value));
  EXPECT_EQ(-1, state_.SetState(1));
  EXPECT_EQ(9u, value);
  EXPECT_TRUE(log_.Contains(1, std::string("State File does not exist[") + Folder() + "]"));
  EXPECT_TRUE(log_.Contains(1, "[CCLDBStateFile::GetVersion] Open failed"));
}

// Reading for display takes no lock and writes nothing, so a user who may
// only read the folder (one copied without its lock files, even) can look,
// and looking leaves the file as it was.
TEST_F(Lifecycle, ReadingAloneNeedsNoLockNorWriteAccessAndWritesNothing) {
  CreateFile();
  ASSERT_EQ(0, state_.SetState(2));
  state_.Uninitialize();
  namespace fs = std::filesystem;
  auto lockFiles = [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path()))
      if (entry.path().extension() == ".lock") names.push_back(entry.path().filename());
    return names;
  };
  for (const std::string& name : lockFiles()) fs::remove(dir_ / name);
  const std::string before = Content();
  GiveToNobody(dir_.path());
  ASSERT_EQ(0, chmod(Folder(), 0500));
  TestNow() = kNow + 100;  // a rewrite would stamp another LastAccessTime
  const int status = RunInChild([&] {
    if (!BecomeNobody()) return 2;
    CCLDBStateFile reader;
    unsigned int state = 0, id = 0;
    if (reader.OpenForReading(Folder()) != 0) return 3;
    if (reader.GetElementText("State", state) != 0 || state != 2) return 4;
    if (reader.GetElementText("CLDBID", id) != 0 || id != kCldbId) return 5;
    reader.SetElementText("State", 1u);
    if (reader.Write() != -1) return 6;  // a document read alone is never written
    reader.Close();
    return reader.OpenForReading(Folder()) == 0 ? 0 : 7;  // and can be read again
  });
  ASSERT_EQ(0, chmod(Folder(), 0700));
  EXPECT_TRUE(ExitedWith(status, 0)) << "wait status " << status;
  EXPECT_EQ(lockFiles(), std::vector<std::string>());
  {
    CCLDBStateFile reader;  // with write access: Close still writes nothing
    ASSERT_EQ(0, reader.OpenForReading(Folder()));
    reader.SetElementText("State", 1u);
    EXPECT_EQ(-1, reader.OpenForReading(Folder()));  // open already
  }
  EXPECT_EQ(before, Content());
  ASSERT_EQ(0, state_.Initialize(kCldbId, nullptr, Folder()));
  EXPECT_EQ(-1, state_.OpenForReading(Folder()));  // an initialised object locks its reads
}

using TypedAccess = StateFileTest;

// State, version, store id, record count, compaction and access time, as read.
std::vector<unsigned long long> ReadAll(CCLDBStateFile& state) {
  unsigned int values[5] = {9, 9, 9, 9, 9};
  unsigned long long count = 9;
  EXPECT_EQ(0, state.GetState(values[0]));
  EXPECT_EQ(0, state.GetVersion(values[1]));
  EXPECT_EQ(0, state.GetSIDBStoreID(values[2]));
  EXPECT_EQ(0, state.GetRecordCount(count));
  EXPECT_EQ(0, state.GetLastCompactTime(values[3]));
  EXPECT_EQ(0, state.GetLastAccessTime(values[4]));
  return {values[0], values[1], values[2], count, values[3], values[4]};
}

// Ids of 2^31 and more go out signed and come back unsigned; every access
// rewrites the file with a new LastAccessTime; a writer changes only its element.
TEST_F(TypedAccess, ReadersAndWritersRoundTripEveryElement) {
  ASSERT_EQ(0, state_.Initialize(0x80000001u, nullptr, Folder()));
  ASSERT_EQ(0, state_.Create(0xFFFFFFF0u));
  EXPECT_TRUE(Holds("<CLDBID>-2147483647</CLDBID><SIDBSTOREID>-16</SIDBSTOREID>"));
  TestNow() = kNow + 5;
  using Values = std::vector<unsigned long long>;
  EXPECT_EQ(ReadAll(state_), (Values{0, 2, 0xFFFFFFF0u, 0, kNow, kNow + 5}));
  ASSERT_EQ(0, state_.SetState(2));
  ASSERT_EQ(0, state_.SetSIDBStoreID(0x80000000u));
  ASSERT_EQ(0, state_.SetRecordCount((1ull << 40) + 5));
  ASSERT_EQ(0, state_.SetLastCompactTime(4000000000u));
  EXPECT_EQ(ReadAll(state_), (Values{2, 2, 0x80000000u, (1ull << 40) + 5, 4000000000u, kNow + 5}));
  EXPECT_TRUE(Holds("<CLDBID>-2147483647</CLDBID><SIDBSTOREID>2147483648</SIDBSTOREID>"));
  EXPECT_FALSE(log_.Contains("failed"));
}

TEST_F(TypedAccess, OwnerIsAppendedOnceAfterLastAccessTime) {
  CreateFile();
  unsigned long long owner = 42;
  EXPECT_EQ(0, state_.GetOwner(owner));
  EXPECT_EQ(42ull, owner);
  EXPECT_TRUE(log_.Contains(1, "[CCLDBStateFile::GetOwner] failed"));
  ASSERT_EQ(0, state_.Open());  // SetOwner closes a document left open
  EXPECT_EQ(-1, state_.Open());
  EXPECT_TRUE(log_.Contains(1, "State-File found opened state"));
  ASSERT_EQ(0, state_.SetOwner(1));
  ASSERT_EQ(0, state_.SetOwner(0xFFFFFFFFFFFFFFFFull));
  EXPECT_TRUE(Holds("</LastAccessTime><Owner>18446744073709551615</Owner></CLDB>")) << Content();
  EXPECT_EQ(0, state_.GetOwner(owner));
  EXPECT_EQ(0xFFFFFFFFFFFFFFFFull, owner);
}

// A bad or missing value is logged and leaves the out-value alone; only the
// reader of LastAccessTime reports it.
TEST_F(TypedAccess, BadOrMissingValuesLeaveTheOutValue) {
  CreateFile();
  Edit("<State>0", "<State>open");
  Edit("<RECORDCOUNT>0", "<RECORDCOUNT>n");
  Edit("<LastAccessTime>1700000000</LastAccessTime>", "");
  unsigned int access = 9, state = 9;
  unsigned long long count = 9;
  EXPECT_EQ(-1, state_.GetLastAccessTime(access));
  EXPECT_TRUE(Holds("<LastAccessTime>")) << "its close stamps a new one";
  EXPECT_EQ(0, state_.GetState(state));
  EXPECT_EQ(0, state_.GetRecordCount(count));
  EXPECT_TRUE(access == 9 && state == 9 && count == 9) << access << " " << state << " " << count;
  for (const char* name : {"GetLastAccessTime", "GetState", "GetRecordCOunt"})
    EXPECT_TRUE(log_.Contains(1, std::string("[CCLDBStateFile::") + name + "] failed")) << name;
}

// The temporary file is made a folder so that the rewrite cannot open it
// (the tests may run as root, where permissions would not stop a write).
TEST_F(StateFileTest, FailedRewriteFailsCreateAndWritersButNotReaders) {
  ASSERT_EQ(0, mkdir((Path() + ".tmp").c_str(), 0755));
  EXPECT_EQ(-1, state_.Create(kStoreId));
  EXPECT_FALSE(std::ifstream(Path()).good()) << "a failed creation leaves no file";
  ASSERT_EQ(0, rmdir((Path() + ".tmp").c_str()));
  CreateFile();
  ASSERT_EQ(0, state_.SetState(2));
  ASSERT_EQ(0, mkdir((Path() + ".tmp").c_str(), 0755));
  const std::string before = Content();
  EXPECT_EQ(-1, state_.SetState(1));
  EXPECT_EQ(-1, state_.SetOwner(5));
  EXPECT_EQ(before, Content());
  EXPECT_TRUE(log_.Contains(1, "Cannot open file [" + Path() + ".tmp], error="));
  EXPECT_TRUE(log_.Contains(1, "[CCLDBStateFile::Close] Cannot write the state file."));
  unsigned int state = 0;
  EXPECT_EQ(0, state_.GetState(state));
  EXPECT_EQ(2u, state);
}

}  // namespace
}  // namespace cldbtest
