// The table's engine settings: buffer count and node size come from the
// section of its side ("Courier" for a client, "Warden" for an auxiliary
// copy), with their defaults when nothing is configured.
#include "CacheTableFixture.h"
#include "platform/ZelPlatformInfo.h"

namespace cldbtest {
namespace {

using CacheTableSchema = CacheTableTest;

TEST_F(CacheTableSchema, EngineSettingsFollowTheSideAndTheConfiguration) {
  const struct {
    bool auxCopy;
    long configuredBuffers;  // -1: not configured
    short buffers;
    int nodeSize;
  } cases[] = {{false, -1, 1000, 8}, {true, -1, 10000, 32}, {false, 2500, 2500, 8}};
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    ZelPlatformInfo::ClearOverrides();
    if (c.configuredBuffers >= 0)
      ZelPlatformInfo::SetOverride(c.auxCopy ? "Warden" : "Courier", "CLDBCtreeBufferCount",
                                   static_cast<unsigned long>(c.configuredBuffers));
    CCacheTable t;
    t.Initialize(1, kSigType, &log, 0, 30, 0, c.auxCopy);
    EXPECT_EQ(t.initialize((dir / (c.auxCopy ? "aux" : "client")).c_str()), 0);
    EXPECT_EQ(t.bufferCount(), c.buffers);
    EXPECT_EQ(TCtreeTable::getnodeSize(), c.nodeSize);
  }
  ZelPlatformInfo::ClearOverrides();
}

}  // namespace
}  // namespace cldbtest
