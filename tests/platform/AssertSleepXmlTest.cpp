#include <gtest/gtest.h>

#include <vector>

#include "TestSupport.h"
#include "platform/TkSleep.h"
#include "platform/XMLEncXStr.h"
#include "platform/ZelAssert.h"

namespace {

TEST(ZelAssert, LogsAtMinusOneAndCountsOnlyFalseConditions) {
  cldbtest::LogCapture capture(nullptr);
  unsigned long before = zelassertCount();
  zelassert("pList->getLength () <= 1", "CLDBStateFile", "int f()", 123);
  EXPECT_TRUE(
      capture.Contains(-1, "[ZELASSERT] pList->getLength () <= 1 CLDBStateFile int f() line 123"));
  int n = 1;
  ZELASSERT(n == 1, "Test");
  ZELASSERT(n == 2, "Test");
  EXPECT_EQ(zelassertCount(), before + 2);
}

std::vector<unsigned int> g_slept;
void RecordSleep(unsigned int ms) { g_slept.push_back(ms); }

TEST(TkSleep, HookReplacesTheSleep) {
  g_slept.clear();
  TkSleepHook previous = TkSetSleepHook(RecordSleep);
  TKSLEEP(1000);
  TKSLEEP_InTeRnAl(250, __FILE__, __LINE__);
  EXPECT_EQ(TkSetSleepHook(previous), &RecordSleep);
  TKSLEEP(1);  // the real sleep again
  EXPECT_EQ(g_slept, (std::vector<unsigned int>{1000, 250}));
}

TEST(XMLEncXStr, PrintableForms) {
  const XMLCh wide[] = {'S', 't', 'a', 't', 'e', 0};
  EXPECT_STREQ(XMLEncXStr(wide).StringForm(), "State");
  EXPECT_STREQ(XMLEncXStr("narrow").StringForm(), "narrow");
  EXPECT_STREQ(XMLEncXStr(static_cast<const XMLCh*>(nullptr)).StringForm(), "(null)");
  EXPECT_STREQ(XMLEncXStr(static_cast<const char*>(nullptr)).StringForm(), "(null)");
}

}  // namespace
