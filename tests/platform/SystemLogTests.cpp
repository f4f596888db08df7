#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/SystemLog.h"
#include "tests/support/TestSupport.h"

namespace korvel::platform {
namespace {

/* Sends this process's standard error to a file for the object's lifetime. */
class CapturedStderr {
 public:
  explicit CapturedStderr(const std::string& path) : saved_(dup(STDERR_FILENO)) {
    std::fflush(stderr);
    FILE* file = std::fopen(path.c_str(), "w");
    dup2(fileno(file), STDERR_FILENO);
    std::fclose(file);
  }
  ~CapturedStderr() {
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

TEST(SystemLog, WritesOneFormattedLinePerCallToStandardError) {
  korvel::test::TempDir tmp;
  std::string path = tmp.file("stderr");
  std::string longText(5000, 'x');
  {
    CapturedStderr capture(path);
    SystemLog("Korvel: duplicate UID %08X, took %08X", 0x12345678u, 0xABCu);
    SystemLog("%s", longText.c_str());
  }
  EXPECT_EQ(korvel::test::ReadFile(path), "Korvel: duplicate UID 12345678, took 00000ABC\n" + longText + "\n");
}

}  // namespace
}  // namespace korvel::platform
