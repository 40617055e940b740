// Test entry: Xerces-C is initialised once per process by the host, as the
// library expects; every test process here is such a host.
#include <gtest/gtest.h>

#include <xercesc/util/PlatformUtils.hpp>

#include "TestSupport.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  xercesc::XMLPlatformUtils::Initialize();
  cldbtest::IsolateProcess();
  int rc = RUN_ALL_TESTS();
  xercesc::XMLPlatformUtils::Terminate();
  return rc;
}
