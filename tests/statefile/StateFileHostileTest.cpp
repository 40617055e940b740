// A State.xml that is not a small regular file: every operation that reads
// it refuses it before a parser sees a byte, never follows a link and never
// waits on a FIFO. (Each case runs in a child: a hang or a crash ends the
// child, not the suite.)
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "StateFileFixture.h"

namespace cldbtest {
namespace {

namespace fs = std::filesystem;

using StateFileHostile = StateFileTest;

template <typename T, int (CCLDBStateFile::*get)(T&)>
int Read(CCLDBStateFile& state) {
  T value{};
  return (state.*get)(value);
}

TEST_F(StateFileHostile, OnlyASmallRegularFileIsEverReadOrParsed) {
  CreateFile();
  const std::string valid = Content();
  std::string deep = "<CLDB>";
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  for (int i = 0; i < 100000; ++i) deep += "</a>";
  deep += "</CLDB>";
  WriteFile(dir_ / "elsewhere.xml", valid);
  const struct {
    const char* what;
    std::function<void()> make;
  } cases[] = {
      {"fifo", [&] { ASSERT_EQ(0, mkfifo(Path().c_str(), 0600)); }},
      {"folder", [&] { ASSERT_TRUE(fs::create_directory(Path())); }},
      {"link to a valid file", [&] { fs::create_symlink(dir_ / "elsewhere.xml", Path()); }},
      {"device", [&] { ASSERT_EQ(0, mknod(Path().c_str(), S_IFCHR | 0600, makedev(1, 5))); }},
      {"deep", [&] { SetContent(deep); }},
      {"one byte too large", [&] { SetContent(valid + std::string(1024 - valid.size(), ' ')); }},
  };
  // Each operation that reads State.xml, and what it returns when it cannot.
  const std::vector<std::pair<const char*, std::function<int(CCLDBStateFile&)>>> operations = {
      {"Open", &CCLDBStateFile::Open},
      {"CheckStatefileSanity", &CCLDBStateFile::CheckStatefileSanity},
      {"GetState", Read<unsigned, &CCLDBStateFile::GetState>},
      {"GetVersion", Read<unsigned, &CCLDBStateFile::GetVersion>},
      {"GetOwner", Read<unsigned long long, &CCLDBStateFile::GetOwner>},
      {"GetStampFloor", Read<unsigned, &CCLDBStateFile::GetStampFloor>},
      {"SetState", [](CCLDBStateFile& s) { return s.SetState(1); }},
      {"SetOwner", [](CCLDBStateFile& s) { return s.SetOwner(1); }},
      {"OpenForReading",
       [this](CCLDBStateFile&) { return CCLDBStateFile().OpenForReading(Folder()); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(Path());
    c.make();
    const auto before = fs::symlink_status(Path()).type();
    for (const auto& [name, operation] : operations) {
      SCOPED_TRACE(name);
      const int status = RunInChild(
          [&, op = operation] {
            CCLDBStateFile state;
            if (state.Initialize(kCldbId, nullptr, Folder()) != 0) return 2;
            return op(state) == -1 ? 0 : 1;
          },
          10);
      EXPECT_TRUE(ExitedWith(status, 0)) << "wait status " << status;
    }
    EXPECT_EQ(before, fs::symlink_status(Path()).type());
  }
  EXPECT_EQ(valid, ReadFile(dir_ / "elsewhere.xml"));
}

}  // namespace
}  // namespace cldbtest
