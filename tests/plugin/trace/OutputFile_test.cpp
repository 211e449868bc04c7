#include "trace/OutputFile.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/TempDir.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

using OutputFileTest = testing::TempDirTest;

// A name taken is never overwritten while a suffixed one (".000" to ".fff") is free; the finish
// tests pin the first free one. With every one taken, the given path is reused.
TEST_F(OutputFileTest, WhenEveryDerivedNameExistsTheGivenPathIsReused) {
  char suffix[8] = "";
  for (int i = -1; i < 4096; ++i) {
    if (i >= 0) std::snprintf(suffix, sizeof suffix, ".%03x", i);
    std::ofstream(path(std::string("full.bin") + suffix)) << "old";
  }
  std::string target = path("full.bin");
  int status = 0;
  FILE* f = openUniqueFile(target, "w", status, OPEN_FALLBACK | OPEN_UNIQUE | OPEN_CREATE_DIRS);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::fclose(f), 0);
  EXPECT_EQ(status, kOpenStatusNoUniqueName);
  EXPECT_EQ(target, path("full.bin"));
  EXPECT_EQ(readAll(path("full.bin")), "");  // truncated by "w"
  EXPECT_EQ(readAll(path("full.bin.fff")), "old");
}

}  // namespace
}  // namespace varnox::testing
