// The table's engine settings: buffer count and node size come from the
// section of its side ("Courier" for a client, "Warden" for an auxiliary
// copy), with their defaults when nothing is configured.
#include "CacheTableFixture.h"
#include "platform/ZelPlatformInfo.h"

namespace cldbtest {
namespace {

class CacheTableSchema : public CacheTableTest {
 protected:
  void TearDown() override {
    ZelPlatformInfo::ClearOverrides();
    CacheTableTest::TearDown();
  }
  // Defines a table of the given side and keeps the engine settings it chose.
  void Define(bool auxCopy) {
    CCacheTable t;
    t.Initialize(1, kSigType, &log, 0, 30, 0, auxCopy);
    ASSERT_EQ(t.initialize((dir / (auxCopy ? "aux" : "client")).c_str()), 0);
    buffers = t.bufferCount();
    nodeSize = TCtreeTable::getnodeSize();
  }
  short buffers = 0;
  int nodeSize = 0;
};

TEST_F(CacheTableSchema, EngineSettingsFollowTheSideAndTheConfiguration) {
  struct Case {
    bool auxCopy;
    long configuredBuffers;  // -1: not configured
    short buffers;
    int nodeSize;
    const char* line;
  } cases[] = {
      {false, -1, 1000, 8, "CCacheTable::registerTable: # of buffers [1000] NodeSize - [8]"},
      {true, -1, 10000, 32, "CCacheTable::registerTable: # of buffers [10000] NodeSize - [32]"},
      {false, 2500, 2500, 8, "CCacheTable::registerTable: # of buffers [2500] NodeSize - [8]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ZelPlatformInfo::ClearOverrides();
    if (c.configuredBuffers >= 0)
      ZelPlatformInfo::SetOverride(c.auxCopy ? "Warden" : "Courier", "CLDBCtreeBufferCount",
                                   static_cast<unsigned long>(c.configuredBuffers));
    capture.Clear();
    Define(c.auxCopy);
    EXPECT_EQ(buffers, c.buffers);
    EXPECT_EQ(nodeSize, c.nodeSize);
    EXPECT_TRUE(capture.Contains(1, c.line));
  }
}

}  // namespace
}  // namespace cldbtest
