// The log object and the critical section (the state-file suite pins the
// assertion hook). The allocator is malloc; a thread's next allocation can be made to fail.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <regex>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "platform/EvDebug.h"
#include "platform/ZelCriticalSection.h"
#include "platform/ZelPlatformInfo.h"

static thread_local bool g_failNextNew = false;

void* operator new(std::size_t size) {
  if (std::exchange(g_failNextNew, false)) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// Out of line, or GCC takes the inlined free for a mismatched delete.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(cldbtest::ReadFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A line carries the time, process, thread, job and level, and is never cut;
// it is written when its level is at or below the configured threshold,
// default 1. (Sinks seeing every message is pinned by every suite's capture.)
TEST(EvDebug, LinesUpToTheConfiguredThresholdAreWrittenWhole) {
  cldbtest::TempDir dir;
  ZelPlatformInfo::SetOverride("EvDebug", "DebugLevel", 3ul);
  EvDebug log(dir / "log.txt");
  ZelPlatformInfo::ClearOverrides();
  EvDebug byDefault(dir / "default.txt");
  std::string big(100000, 'x');
  log.debugLvl(1, "plain %d", 42);
  log.debugLvl(0, 77ULL, "tagged %s", "job");
  log.DebugLvl("CCLDBStateFile::Lock()", -1, "Lock failed");
  log.debugLvl(3, "[%s]", big.c_str());
  log.debugLvl(4, "hidden");
  byDefault.debugLvl(2, "hidden");
  byDefault.debugLvl(1, "shown");
  const std::string stamp =
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} pid=)" + std::to_string(getpid()) + R"( tid=\d+ )";
  const std::string expected[] = {stamp + "lvl=1 plain 42",
                                  stamp + R"(\[job=77\] lvl=0 tagged job)",
                                  stamp + R"(lvl=-1 CCLDBStateFile::Lock\(\): Lock failed)"};
  auto lines = Lines(dir / "log.txt");
  ASSERT_EQ(lines.size(), 4u);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << lines[i];
  EXPECT_EQ(lines[3].substr(lines[3].find(" lvl=3 ") + 7), "[" + big + "]");
  EXPECT_EQ(Lines(dir / "default.txt").size(), 1u);
}

// Threads with objects of their own and one shared object append to the same
// file; every line must come out whole.
TEST(EvDebug, ConcurrentWritersProduceWholeLines) {
  cldbtest::TempDir dir;
  const int kThreads = 6, kLinesEach = 150;
  auto payload = [](int t) { return std::string(500 + t * 300, static_cast<char>('a' + t)); };
  EvDebug shared(dir / "log.txt");
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      EvDebug own(dir / "log.txt");
      for (int i = 0; i < kLinesEach; ++i)
        (i % 2 ? own : shared).debugLvl(1, "T%d %s.", t, payload(t).c_str());
    });
  for (auto& th : threads) th.join();
  std::vector<int> perThread(kThreads, 0);
  for (const auto& line : Lines(dir / "log.txt")) {
    size_t at = line.find(" lvl=1 T");
    int t = at == std::string::npos ? -1 : line[at + 8] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads && line.substr(at + 10) == payload(t) + ".")
        << line.substr(0, 120);
    ++perThread[t];
  }
  EXPECT_EQ(perThread, std::vector<int>(kThreads, kLinesEach));
}

// A log file is made with the configured mode (private by default) and is
// only ever a plain file reached without a link: a line for anything else
// goes to the default destination, and the thing planted there is left as
// it was.
TEST(EvDebug, ALogFileIsPrivateAndNeverALinkOrAnythingButAPlainFile) {
  namespace fs = std::filesystem;
  cldbtest::TempDir dir;
  for (auto [config, mode] : {std::pair{"", 0600}, {"640", 0640}}) {
    if (*config) ZelPlatformInfo::SetOverride("CLDB", "FileMode", config);
    const std::string path = dir / ("new-" + std::string(config) + ".log");
    EvDebug(path).debugLvl(1, "made");
    ZelPlatformInfo::ClearOverrides();
    EXPECT_EQ(fs::status(path).permissions(), static_cast<fs::perms>(mode)) << config;
  }
  const std::string target = dir / "target", fallback = dir / "default.log";
  cldbtest::WriteFile(target, "keep\n");
  const struct {
    const char* what;
    std::function<void(const std::string&)> plant;
  } cases[] = {
      {"link", [&](const std::string& at) { fs::create_symlink(target, at); }},
      {"hard link", [&](const std::string& at) { fs::create_hard_link(target, at); }},
      {"fifo", [](const std::string& at) { ASSERT_EQ(0, mkfifo(at.c_str(), 0600)); }},
      {"folder", [](const std::string& at) { fs::create_directory(at); }},
  };
  ASSERT_TRUE(EvDebug::SetDefaultLogFile(fallback));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string at = dir / (std::string(c.what) + ".log");
    c.plant(at);
    const int status = cldbtest::RunInChild(
        [&] {
          EvDebug(at).debugLvl(1, "line for %s", c.what);
          return EvDebug::SetDefaultLogFile(at) ? 1 : 0;
        },
        10);
    EXPECT_TRUE(cldbtest::ExitedWith(status, 0)) << "wait status " << status;
    EXPECT_NE(cldbtest::ReadFile(fallback).find(std::string("line for ") + c.what),
              std::string::npos);
  }
  EvDebug::SetDefaultLogFile("");
  EXPECT_EQ(cldbtest::ReadFile(target), "keep\n");
}

// Standard error by the host's choice: only without a log file (default),
// also beside it (-v), or never (-q).
TEST(EvDebug, StandardErrorIsTheFallbackOrAlsoWrittenOrNever) {
  cldbtest::TempDir dir;
  using Use = EvDebug::StderrUse;
  const struct {
    Use use;
    bool file;
    bool inFile, onStderr;
  } cases[] = {
      {Use::kFallback, true, true, false}, {Use::kFallback, false, false, true},
      {Use::kAlso, true, true, true},      {Use::kAlso, false, false, true},
      {Use::kNever, true, true, false},    {Use::kNever, false, false, false},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(n);
    const std::string log = dir / ("log" + std::to_string(n));
    const std::string err = dir / ("err" + std::to_string(n));
    const std::string line = "case " + std::to_string(n++);
    const int status = cldbtest::RunInChild([&] {
      if (!freopen(err.c_str(), "w", stderr)) return 2;
      EvDebug::SetDefaultStderrUse(c.use);
      if (c.file && !EvDebug::SetDefaultLogFile(log)) return 3;
      EvDebug().debugLvl(1, "%s", line.c_str());
      return 0;
    });
    ASSERT_TRUE(cldbtest::ExitedWith(status, 0)) << "wait status " << status;
    EXPECT_EQ(c.inFile, cldbtest::ReadFile(log).find(line) != std::string::npos);
    EXPECT_EQ(c.onStderr, cldbtest::ReadFile(err).find(line) != std::string::npos);
  }
}

TEST(ZelCriticalSection, ConstructorThrowsTextWhenOutOfMemory) {
  const char* thrown = nullptr;
  g_failNextNew = true;
  try {
    ZelCriticalSection cs;
  } catch (const char* text) {
    thrown = text;
  }
  g_failNextNew = false;
  EXPECT_STREQ(thrown, "Not enough memory to initialize ZelCriticalSection");
}

// The holder enters twice without deadlock; no other thread gets in before
// the second leave, and then their nested entries keep them apart.
TEST(ZelCriticalSection, ReentrantAndExclusiveUntilFullyLeft) {
  ZelCriticalSection cs;
  long counter = 0;  // deliberately not atomic: the section guards it
  cs.enter(true);
  cs.enter(true);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        ZelCriticalSectionGuard outer(cs), inner(cs);
        ++counter;
      }
    });
  cs.leave();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(counter, 0);
  cs.leave();
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 4 * 2000);
}

}  // namespace
