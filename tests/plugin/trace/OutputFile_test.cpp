#include "trace/OutputFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <sstream>

namespace varnox::testing {
using namespace cardamor;
namespace {

namespace fs = boost::filesystem;

constexpr unsigned kAllOptions = OPEN_FALLBACK | OPEN_UNIQUE | OPEN_CREATE_DIRS;

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / fs::unique_path("cardamor-open-%%%%-%%%%");
    fs::create_directories(dir_);
  }
  void TearDown() override {
    boost::system::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string at(const std::string& name) const { return (dir_ / name).string(); }
  static void touch(const std::string& path, const std::string& text = "old") { std::ofstream(path) << text; }
  static std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Writes `text` through openUniqueFile and returns the stream's close result.
  static int writeAndClose(FILE* f, const char* text) {
    std::fputs(text, f);
    return std::fclose(f);
  }

  fs::path dir_;
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
               {"wb", kAllOptions, "dump.txt.002", "third"},
               {"w", OPEN_FALLBACK, "dump.txt", "over"}};  // without the unique option: truncated
  for (const auto& o : opens) {
    std::string path = at("dump.txt");
    int status = 0;
    FILE* f = openUniqueFile(path, o.mode, status, o.options);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(writeAndClose(f, o.text), 0);
    EXPECT_EQ(path, at(o.opened));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(contents(path), o.text);
  }
  EXPECT_EQ(contents(at("dump.txt.000")), "second");
  EXPECT_EQ(contents(at("dump.txt.001")), "old");
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
  EXPECT_EQ(contents(at("full.bin")), "");  // truncated by "w"
  EXPECT_EQ(contents(at("full.bin.fff")), "old");
}

TEST_F(OutputFileTest, UnusableDirectoryFallsBackToTheCurrentDirectory) {
  touch(at("blocker"));  // a file where a directory would have to be
  fs::create_directories(at("cwd"));
  const fs::path oldCwd = fs::current_path();
  fs::current_path(at("cwd"));
  touch((fs::path(at("cwd")) / "run1_drive_D0.bin").string());

  std::string path = at("blocker/sub/run1_drive_D0.bin");
  int status = 0;
  FILE* f = openUniqueFile(path, "wb", status, kAllOptions);
  const std::string reported = path;
  const int fallbackStatus = status;

  // Without the fallback option the failure stays: status 3, no stream, the name tried.
  std::string noFallback = at("blocker/sub/other.bin");
  int noFallbackStatus = 0;
  FILE* g = openUniqueFile(noFallback, "wb", noFallbackStatus, OPEN_UNIQUE | OPEN_CREATE_DIRS);
  fs::current_path(oldCwd);

  ASSERT_NE(f, nullptr);
  EXPECT_EQ(writeAndClose(f, "data"), 0);
  EXPECT_EQ(fallbackStatus, kOpenStatusFallback);
  // The fallback name is made unique as well.
  EXPECT_EQ(reported, (fs::path(at("cwd")) / "run1_drive_D0.bin.000").string());
  EXPECT_EQ(contents(reported), "data");

  EXPECT_EQ(g, nullptr);
  EXPECT_EQ(noFallbackStatus, kOpenStatusOpenFailed);
  EXPECT_EQ(noFallback, at("blocker/sub/other.bin"));
}

TEST_F(OutputFileTest, CloseOnExecModeLetterReachesTheCLibrary) {
  std::string path = at("cloexec.txt");
  int status = 0;
  FILE* f = openUniqueFile(path, "we", status, kAllOptions);
  ASSERT_NE(f, nullptr);
  EXPECT_NE(fcntl(fileno(f), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(std::fclose(f), 0);
}

}  // namespace
}  // namespace varnox::testing
