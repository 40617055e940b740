// The State.xml document: its layout when created, the sanity check and the
// element primitives.
#include <ctime>
#include <fstream>
#include <string>

#include "StateFileFixture.h"
#include "platform/ZelAssert.h"

#include <xercesc/util/XMLString.hpp>

namespace cldbtest {
namespace {

const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>";
const char* const kFragments[] = {
    kDeclaration,       "<CLDB>",          "<Version>",         "</Version>",
    "<State>",          "</State>",        "<CLDBID>",          "</CLDBID>",
    "<SIDBSTOREID>",    "</SIDBSTOREID>",  "<LastCompactTime>", "</LastCompactTime>",
    "<RECORDCOUNT>",    "</RECORDCOUNT>",  "<LastAccessTime>",  "</LastAccessTime>",
    "</CLDB>"};

// The text between the first `open` and the `close` after it; "" if absent.
std::string Between(const std::string& text, const std::string& open, const std::string& close) {
  size_t from = text.find(open);
  if (from == std::string::npos) return "";
  from += open.size();
  size_t to = text.find(close, from);
  return to == std::string::npos ? "" : text.substr(from, to - from);
}

using CreatedFile = StateFileTest;

TEST_F(CreatedFile, HoldsTheSevenElementsInOrderAfterTheDeclaration) {
  unsigned int before = static_cast<unsigned int>(time(nullptr));
  CreateFile();
  unsigned int after = static_cast<unsigned int>(time(nullptr));

  const std::string text = Content();
  const std::string compact = Between(text, "<LastCompactTime>", "</LastCompactTime>");
  const std::string access = Between(text, "<LastAccessTime>", "</LastAccessTime>");
  EXPECT_EQ(std::string(kDeclaration) +
                "<CLDB><Version>2</Version><State>0</State><CLDBID>7</CLDBID>"
                "<SIDBSTOREID>77</SIDBSTOREID><LastCompactTime>" + compact +
                "</LastCompactTime><RECORDCOUNT>0</RECORDCOUNT><LastAccessTime>" + access +
                "</LastAccessTime></CLDB>",
            text);
  for (const std::string& stamp : {compact, access}) {
    ASSERT_FALSE(stamp.empty());
    ASSERT_EQ(std::string::npos, stamp.find_first_not_of("0123456789")) << stamp;
    EXPECT_GE(std::stoul(stamp), before);
    EXPECT_LE(std::stoul(stamp), after);
  }
  EXPECT_EQ(0, state_.CheckStatefileSanity());
  EXPECT_FALSE(std::ifstream(Path() + ".tmp").good()) << "temporary file left behind";
}

TEST_F(CreatedFile, IdsOfTwoToTheThirtyOneAreWrittenSignedAndReadBackUnsigned) {
  ASSERT_EQ(0, state_.Initialize(0x80000001u, nullptr, Folder()));
  ASSERT_EQ(0, state_.Create(0xFFFFFFF0u));
  const std::string text = Content();
  EXPECT_NE(std::string::npos, text.find("<CLDBID>-2147483647</CLDBID>")) << text;
  EXPECT_NE(std::string::npos, text.find("<SIDBSTOREID>-16</SIDBSTOREID>")) << text;

  unsigned int id = 0;
  EXPECT_EQ(0, state_.GetSIDBStoreID(id));
  EXPECT_EQ(0xFFFFFFF0u, id);
  ASSERT_EQ(0, state_.SetSIDBStoreID(0x80000000u));
  EXPECT_NE(std::string::npos, Content().find("<SIDBSTOREID>2147483648</SIDBSTOREID>"));
  EXPECT_EQ(0, state_.GetSIDBStoreID(id));
  EXPECT_EQ(0x80000000u, id);
}

// ---- Sanity check ----------------------------------------------------------

using SanityCheck = StateFileTest;

TEST_F(SanityCheck, RejectsSizesOutside128To1023AsAbnormal) {
  for (size_t size : {size_t{0}, size_t{127}, size_t{1024}, size_t{4096}}) {
    SCOPED_TRACE(size);
    SetContent(std::string(size, 'x'));
    log_.Clear();
    EXPECT_EQ(-1, state_.CheckStatefileSanity());
    EXPECT_TRUE(log_.Contains(1, " CCLDBStateFile::CheckStatefileSanity: abnormalfile size [" +
                                     Path() + "] [" + std::to_string(size) + "]"));
    EXPECT_FALSE(log_.Contains("Statefile found corrupted"));
  }
}

TEST_F(SanityCheck, ScansFilesOf128To1023Bytes) {
  CreateFile();
  const std::string valid = Content();
  ASSERT_LT(valid.size(), 1023u);

  SetContent(std::string(128, 'x'));
  log_.Clear();
  EXPECT_EQ(-1, state_.CheckStatefileSanity());
  EXPECT_TRUE(log_.Contains(1, " CCLDBStateFile::CheckStatefileSanity: Statefile found "
                               "corrupted [" + Path() + "]"));

  // Trailing blanks after the root are still a well-formed document.
  SetContent(valid + std::string(1023 - valid.size(), ' '));
  EXPECT_EQ(0, state_.CheckStatefileSanity());
  EXPECT_EQ(0, state_.Open());
  EXPECT_EQ(0, state_.Close());

  SetContent(valid + std::string(1024 - valid.size(), ' '));
  EXPECT_EQ(-1, state_.CheckStatefileSanity());
}

TEST_F(SanityCheck, RejectsAFileLackingAnyOneFragment) {
  CreateFile();
  const std::string valid = Content();
  for (const char* fragment : kFragments) {
    SCOPED_TRACE(fragment);
    std::string text = valid;
    text.replace(text.find(fragment), 1, "[");
    SetContent(text);
    log_.Clear();
    EXPECT_EQ(-1, state_.CheckStatefileSanity());
    EXPECT_TRUE(log_.Contains("Statefile found corrupted"));
  }
}

TEST_F(SanityCheck, IgnoresOrderAndValuesButNotAnEmptyElementTag) {
  CreateFile();
  Edit("<State>0</State>", "");
  Edit("</CLDB>", "<State>abc</State></CLDB>");
  EXPECT_EQ(0, state_.CheckStatefileSanity());

  Edit("<State>abc</State>", "<State/>");
  EXPECT_EQ(-1, state_.CheckStatefileSanity());
}

TEST_F(SanityCheck, StopsAtAZeroByte) {
  CreateFile();
  Edit("<CLDB>", std::string("\0<CLDB>", 7));
  EXPECT_EQ(-1, state_.CheckStatefileSanity());
  EXPECT_TRUE(log_.Contains("Statefile found corrupted"));
}

TEST_F(SanityCheck, LowerCaseRootFailsTheCheckButOpens) {
  CreateFile();
  Edit("<CLDB>", "<cldb>");
  Edit("</CLDB>", "</cldb>");
  EXPECT_EQ(-1, state_.CheckStatefileSanity());
  EXPECT_EQ(0, state_.Open());
  EXPECT_EQ(0, state_.Close());
}

TEST_F(SanityCheck, ReportsAMissingFile) {
  EXPECT_EQ(-1, state_.CheckStatefileSanity());
  EXPECT_TRUE(log_.Contains(1, "CCLDBStateFile::CheckStatefileSanity: Cannot open file [" +
                                   Path() + "], error="));
}

// ---- Element primitives ------------------------------------------------------

using ElementPrimitives = StateFileTest;

TEST_F(ElementPrimitives, HandleNamesAndValuesOfAnyLength) {
  CreateFile();
  ASSERT_EQ(0, state_.Open());
  const std::string name = "N" + std::string(1000, 'a');
  const std::string value(5000, '9');
  state_.SetElementText(name.c_str(), value.c_str());
  char* text = nullptr;
  ASSERT_EQ(0, state_.GetElementText(name.c_str(), text));
  EXPECT_EQ(value, text);
  xercesc::XMLString::release(&text);
  EXPECT_EQ(0, state_.Close());
  EXPECT_NE(std::string::npos, Content().find("<" + name + ">" + value + "</" + name + ">"));
}

TEST_F(ElementPrimitives, TypedReadsDistinguishMissingFromNotANumber) {
  CreateFile();
  Edit("<RECORDCOUNT>0</RECORDCOUNT>", "<RECORDCOUNT>  18446744073709551615x</RECORDCOUNT>");
  Edit("<State>0</State>", "<State>x1</State>");
  ASSERT_EQ(0, state_.Open());
  unsigned long long count = 5;
  EXPECT_EQ(0, state_.GetElementText("RECORDCOUNT", count));
  EXPECT_EQ(18446744073709551615ull, count);
  unsigned int value = 5;
  EXPECT_EQ(-1, state_.GetElementText("State", value));
  EXPECT_EQ(1, state_.GetElementText("Owner", value));
  EXPECT_EQ(5u, value);
  EXPECT_EQ(1, state_.GetElementText("state", value)) << "names are case-sensitive";
  EXPECT_EQ(0, state_.Close());
}

TEST_F(ElementPrimitives, DuplicateElementRaisesTheAssertionAndUsesTheFirst) {
  CreateFile();
  Edit("</CLDB>", "<State>9</State></CLDB>");
  ASSERT_EQ(0, state_.Open());
  unsigned long asserts = zelassertCount();
  unsigned int value = 5;
  EXPECT_EQ(0, state_.GetElementText("State", value));
  EXPECT_EQ(0u, value);
  EXPECT_EQ(asserts + 1, zelassertCount());
  state_.SetElementText("State", 3u);
  EXPECT_EQ(asserts + 2, zelassertCount());
  EXPECT_EQ(0, state_.Close());
  EXPECT_NE(std::string::npos, Content().find("<State>3</State>"));
  EXPECT_NE(std::string::npos, Content().find("<State>9</State>"));
}

TEST_F(ElementPrimitives, ElementWithoutTextReadsAsMissingAndTakesAValue) {
  CreateFile();
  Edit("<State>0</State>", "<State></State>");
  ASSERT_EQ(0, state_.Open());
  unsigned int value = 5;
  EXPECT_EQ(1, state_.GetElementText("State", value));
  EXPECT_EQ(5u, value);
  state_.SetElementText("State", 2u);
  EXPECT_EQ(0, state_.GetElementText("State", value));
  EXPECT_EQ(2u, value);
  EXPECT_EQ(0, state_.Close());
  EXPECT_NE(std::string::npos, Content().find("<State>2</State>"));
}

TEST_F(ElementPrimitives, WithoutADocumentThereIsNoElement) {
  unsigned int value = 5;
  EXPECT_EQ(1, state_.GetElementText("State", value));
  state_.SetElementText("State", 1u);
  EXPECT_EQ(0, state_.Write()) << "nothing was modified";
  EXPECT_EQ(5u, value);
}

TEST_F(ElementPrimitives, WriteLeavesAnUnmodifiedFileAlone) {
  CreateFile();
  ino_t inode = Inode();
  const std::string before = Content();
  ASSERT_EQ(0, state_.Open());
  EXPECT_EQ(0, state_.Write());
  EXPECT_EQ(inode, Inode());

  state_.SetElementText("State", 1u);
  EXPECT_EQ(0, state_.Write());
  EXPECT_NE(inode, Inode());
  EXPECT_NE(std::string::npos, Content().find("<State>1</State>"));
  EXPECT_EQ(0, state_.Close());
}

}  // namespace
}  // namespace cldbtest
