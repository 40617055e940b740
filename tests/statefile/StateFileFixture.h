// Shared fixture of the state-file tests: a fresh folder, a state file
// initialised for it, and a capture of every log line of the process (the
// state file logs through a log object of its own).
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "TestSupport.h"
#include "cldb/CLDBStateFile.h"

namespace cldbtest {

class StateFileTest : public ::testing::Test {
 protected:
  static constexpr unsigned int kCldbId = 7;
  static constexpr unsigned int kStoreId = 77;

  void SetUp() override { ASSERT_EQ(0, state_.Initialize(kCldbId, nullptr, Folder())); }

  const char* Folder() const { return dir_.path().c_str(); }
  std::string Path() const { return dir_ / "State.xml"; }
  std::string Content() const { return ReadFile(Path()); }
  void SetContent(const std::string& text) const { WriteFile(Path(), text); }

  // Replaces the one occurrence of `from` in the file by `to`.
  void Edit(const std::string& from, const std::string& to) const {
    std::string text = Content();
    size_t at = text.find(from);
    ASSERT_NE(std::string::npos, at) << from;
    text.replace(at, from.size(), to);
    SetContent(text);
  }

  void CreateFile() { ASSERT_EQ(0, state_.Create(kStoreId)); }

  // Identity of the file now at Path(): a rewrite renames a new file over it.
  ino_t Inode() const {
    struct stat st {};
    return stat(Path().c_str(), &st) == 0 ? st.st_ino : 0;
  }

  TempDir dir_;
  LogCapture log_{nullptr};
  CCLDBStateFile state_;
};

// How often `what` occurs in `text`.
inline size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace cldbtest
