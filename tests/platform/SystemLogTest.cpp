#include <gtest/gtest.h>

#include <string>

#include "platform/SystemLog.h"

namespace korvel::platform {
namespace {

// One whole line per call, however long: a fixed-size format buffer would cut the second.
TEST(SystemLog, WritesOneFormattedLinePerCallToStandardError) {
  std::string longText(5000, 'x');
  testing::internal::CaptureStderr();
  SystemLog("Korvel: duplicate UID %08X, took %08X", 0x12345678u, 0xABCu);
  SystemLog("%s", longText.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Korvel: duplicate UID 12345678, took 00000ABC\n" + longText + "\n");
}

}  // namespace
}  // namespace korvel::platform
