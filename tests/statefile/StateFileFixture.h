// Shared fixture of the state-file tests: a fresh folder, a state file
// initialised for it, a fixed clock, and a capture of every log line of the
// process (the state file logs through a log object of its own).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "cldb/CLDBStateFile.h"

namespace cldbtest {

class StateFileTest : public ::testing::Test {
 protected:
  static constexpr unsigned int kCldbId = 7;
  static constexpr unsigned int kStoreId = 77;
  static constexpr uint32_t kNow = 1700000000;

  void SetUp() override { ASSERT_EQ(0, state_.Initialize(kCldbId, nullptr, Folder())); }

  const char* Folder() const { return dir_.path().c_str(); }
  std::string Path() const { return dir_ / "State.xml"; }
  std::string Content() const { return ReadFile(Path()); }
  void SetContent(const std::string& text) const { WriteFile(Path(), text); }
  void CreateFile() { ASSERT_EQ(0, state_.Create(kStoreId)); }
  // Replaces the first occurrence of `from` in the file by `to`.
  void Edit(const std::string& from, const std::string& to) const {
    std::string text = Content();
    size_t at = text.find(from);
    ASSERT_NE(std::string::npos, at) << from;
    SetContent(text.replace(at, from.size(), to));
  }
  bool Holds(const std::string& text) const { return Content().find(text) != std::string::npos; }

  TestClock clock_{kNow};
  TempDir dir_;
  LogCapture log_{nullptr};
  CCLDBStateFile state_;
};

}  // namespace cldbtest
