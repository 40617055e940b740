#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/EvDebug.h"
#include "platform/ZelPlatformInfo.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every field of the line before the message.
std::string PrefixPattern(const std::string& job, int level) {
  return R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} pid=)" + std::to_string(getpid()) +
         R"( tid=\d+ )" + job + "lvl=" + std::to_string(level) + " ";
}

class EvDebugTest : public ::testing::Test {
 protected:
  void TearDown() override { ZelPlatformInfo::ClearOverrides(); }
  std::string LogText() const { return cldbtest::ReadFile(dir_ / "log.txt"); }

  cldbtest::TempDir dir_;
};

TEST_F(EvDebugTest, LineCarriesTimeProcessThreadJobAndLevel) {
  EvDebug log(dir_ / "log.txt");
  log.SetThreshold(3);
  log.debugLvl(1, "plain %d", 42);
  log.debugLvl(0, 77ULL, "tagged %s", "job");
  log.DebugLvl("CCLDBStateFile::Lock()", -1, "Lock failed");
  auto lines = Lines(LogText());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(PrefixPattern("", 1) + "plain 42")))
      << lines[0];
  EXPECT_TRUE(
      std::regex_match(lines[1], std::regex(PrefixPattern(R"(\[job=77\] )", 0) + "tagged job")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(
      lines[2], std::regex(PrefixPattern("", -1) + R"(CCLDBStateFile::Lock\(\): Lock failed)")))
      << lines[2];
}

TEST_F(EvDebugTest, ThresholdFromConfigurationDefaultOne) {
  ZelPlatformInfo::SetOverride("EvDebug", "DebugLevel", 3ul);
  EvDebug verbose(dir_ / "log.txt");
  verbose.debugLvl(3, "level three shown");
  verbose.debugLvl(4, "level four hidden");
  ZelPlatformInfo::ClearOverride("EvDebug", "DebugLevel");
  EvDebug byDefault(dir_ / "log.txt");
  byDefault.debugLvl(-1, "level minus one shown");
  byDefault.debugLvl(1, "level one shown");
  byDefault.debugLvl(2, "level two hidden");
  std::string text = LogText();
  EXPECT_NE(text.find("level three shown"), std::string::npos);
  EXPECT_EQ(text.find("level four hidden"), std::string::npos);
  EXPECT_NE(text.find("level minus one shown"), std::string::npos);
  EXPECT_NE(text.find("level one shown"), std::string::npos);
  EXPECT_EQ(text.find("level two hidden"), std::string::npos);
}

TEST_F(EvDebugTest, SinksSeeEveryMessageWhateverTheThreshold) {
  EvDebug log(dir_ / "log.txt");
  log.SetThreshold(-1);
  cldbtest::LogCapture own(&log);
  cldbtest::LogCapture processWide(nullptr);
  log.debugLvl(3, "quiet %u", 5u);
  log.debugLvl(1, 9ULL, "tagged");
  log.DebugLvl("Fn", 1, "inside");
  EvDebug(dir_ / "other.txt").debugLvl(2, "from another object");
  auto lines = own.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::make_pair(3, std::string("quiet 5")));
  EXPECT_EQ(lines[1], std::make_pair(1, std::string("tagged")));
  EXPECT_EQ(lines[2], std::make_pair(1, std::string("Fn: inside")));
  EXPECT_TRUE(processWide.Contains(3, "quiet 5"));
  EXPECT_TRUE(processWide.Contains(2, "from another object"));
  EXPECT_EQ(LogText(), "");  // nothing passed the threshold
}

TEST_F(EvDebugTest, LongMessagesAreNotCut) {
  EvDebug log(dir_ / "log.txt");
  cldbtest::LogCapture capture(&log);
  std::string big(100000, 'x');
  big.back() = 'E';
  log.debugLvl(1, "[%s]", big.c_str());
  auto lines = Lines(LogText());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[" + big + "]"), std::string::npos);
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0].second, "[" + big + "]");
}

// Threads with objects of their own and one shared object append to the same
// file; every line must come out whole.
TEST_F(EvDebugTest, ConcurrentWritersProduceWholeLines) {
  const int kThreads = 6, kLinesEach = 150;
  EvDebug shared(dir_ / "log.txt");
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      EvDebug own(dir_ / "log.txt");
      std::string payload(500 + t * 300, static_cast<char>('a' + t));
      for (int i = 0; i < kLinesEach; ++i)
        (i % 2 ? own : shared).debugLvl(1, "T%d #%d %s end", t, i, payload.c_str());
    });
  for (auto& th : threads) th.join();

  auto lines = Lines(LogText());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesEach));
  std::regex prefix(PrefixPattern("", 1));
  std::vector<int> perThread(kThreads, 0);
  for (const auto& line : lines) {
    size_t start = line.find("lvl=1 T");
    ASSERT_NE(start, std::string::npos) << line.substr(0, 120);
    start += 6;
    ASSERT_TRUE(std::regex_match(line.substr(0, start), prefix)) << line.substr(0, 120);
    int t = line[start + 1] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line.substr(0, 120);
    size_t at = line.find(' ', start + 3);
    ASSERT_NE(at, std::string::npos);
    std::string payload(500 + t * 300, static_cast<char>('a' + t));
    EXPECT_EQ(line.substr(at + 1), payload + " end");
    ++perThread[t];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(perThread[t], kLinesEach);
}

}  // namespace
