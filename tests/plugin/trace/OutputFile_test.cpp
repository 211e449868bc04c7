#include "trace/OutputFile.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/TempDirTest.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

constexpr unsigned kAllOptions = OPEN_FALLBACK | OPEN_UNIQUE | OPEN_CREATE_DIRS;

class OutputFileTest : public testing::TempDirTest {
 protected:
  static void touch(const std::string& path, const std::string& text = "old") { std::ofstream(path) << text; }
  static int writeAndClose(FILE* f, const char* text) {
    std::fputs(text, f);
    return std::fclose(f);
  }
};

TEST_F(OutputFileTest, FreePathIsOpenedAsGivenAndExistingOnesGetHexSuffixes) {
  touch(at("dump.txt.001"));
  const struct {
    const char* mode;
    unsigned options;
    const char* opened;
    const char* text;
  } opens[] = {{"w", kAllOptions, "dump.txt", "first"},
               {"w", kAllOptions, "dump.txt.000", "second"},
               {"wb", kAllOptions, "dump.txt.002", "third"}};
  for (const auto& o : opens) {
    std::string path = at("dump.txt");
    int status = 0;
    FILE* f = openUniqueFile(path, o.mode, status, o.options);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(writeAndClose(f, o.text), 0);
    EXPECT_EQ(path, at(o.opened));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(path), o.text);
  }
  EXPECT_EQ(readFile(at("dump.txt")), "first");
  EXPECT_EQ(readFile(at("dump.txt.001")), "old");
}

TEST_F(OutputFileTest, WhenEveryDerivedNameExistsTheGivenPathIsReused) {
  touch(at("full.bin"));
  char suffix[8];
  for (unsigned i = 0; i < 4096; ++i) {
    std::snprintf(suffix, sizeof suffix, ".%03x", i);
    touch(at(std::string("full.bin") + suffix));
  }
  std::string path = at("full.bin");
  int status = 0;
  FILE* f = openUniqueFile(path, "w", status, kAllOptions);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(writeAndClose(f, ""), 0);
  EXPECT_EQ(status, kOpenStatusNoUniqueName);
  EXPECT_EQ(path, at("full.bin"));
  EXPECT_EQ(readFile(at("full.bin")), "");  // truncated by "w"
  EXPECT_EQ(readFile(at("full.bin.fff")), "old");
}

}  // namespace
}  // namespace varnox::testing
