// What a run writes besides its device: nothing at all for `varnox check`, outputs checked before
// any drive is touched, and a JSON summary that is whole and this run's, also on a refusal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/RunVarnox.h"
#include "support/TempDir.h"
#include "varnox/TestRun.h"

namespace varnox::cli {
namespace {

namespace fs = std::filesystem;

using Result = testing::CliResult;
using testing::readAll;
Result varnox(std::vector<std::string> args) { return testing::runCli(std::move(args)); }

class CheckAndOutput : public testing::TempDirTest {
 protected:
  // A test of two file drives, with the log and output base given.
  std::string testFile(const std::string& log, const std::string& output) {
    const std::string test = path("test.toml");
    std::ofstream(test) << "[test]\npasses = 100\nlog = \"" << log << "\"\noutput = \"" << output << "\"\n"
                        << "[[drive]]\ndevice = \"" << path("old.img") << "\"\ncapacity = \"8MiB\"\n"
                        << "precondition = true\n"
                        << "[[drive]]\ndevice = \"" << path("new.img") << "\"\ncapacity = \"8MiB\"\n";
    return test;
  }
};

TEST_F(CheckAndOutput, CheckWritesNothingAndSaysWhatRunWould) {
  // An existing file with content, shorter than the capacity, its times in the past.
  const std::string old = path("old.img");
  std::ofstream(old) << std::string(1 << 20, 'x');
  const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, old.c_str(), past, 0), 0);
  struct stat before {};
  ASSERT_EQ(::stat(old.c_str(), &before), 0);

  Result r = varnox({"check", testFile(path("run.log"), path("out/run")), "--force"});
  ASSERT_EQ(r.status, kExitPassed) << r.err;
  for (const std::string& line : {"would extend " + old + " from 1 MiB to 8 MiB",
                                  "would fill " + old + " (8 MiB) with a pattern unique to the run",
                                  "would create " + path("new.img") + " of 8 MiB", "would write the log " + path("run.log")})
    EXPECT_NE(r.out.find("  " + line + "\n"), std::string::npos) << line << "\n" << r.out;

  struct stat after {};
  ASSERT_EQ(::stat(old.c_str(), &after), 0);
  EXPECT_EQ(readAll(old), std::string(1 << 20, 'x'));
  for (auto [was, is] : {std::pair{before.st_atim, after.st_atim}, std::pair{before.st_mtim, after.st_mtim},
                         std::pair{before.st_ctim, after.st_ctim}})
    EXPECT_TRUE(was.tv_sec == is.tv_sec && was.tv_nsec == is.tv_nsec) << "a time of the target changed";
  std::vector<std::string> left;
  for (const fs::directory_entry& e : fs::directory_iterator(dir_)) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"old.img", "test.toml"})) << "check created a file";
}

TEST_F(CheckAndOutput, UnwritableOutputsAreRefusedBeforeAnyDriveIsTouched) {
  std::ofstream(path("plain")) << "a file, not a folder";
  struct Case {
    std::string log, output, json;
    std::string message;
  };
  const std::vector<Case> cases = {
      {path("none/run.log"), path("out"), "", "log file \"" + path("none/run.log") + "\" cannot be written"},
      {path("run.log"), path("plain/sub/run"), "", "output base " + path("plain/sub/run") + ": "},
      {path("run.log"), path("out"), path("none/r.json"), "--json: cannot write " + path("none/r.json")},
      {path("run.log"), path("out"), dir_.string(), "--json: cannot write " + dir_.string() + ": it is a directory"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"run", testFile(c.log, c.output), "--force"};
    if (!c.json.empty()) args.insert(args.end(), {"--json", c.json});
    for (const char* command : {"run", "check"}) {
      if (std::string(command) == "check" && !c.json.empty()) continue;
      args[0] = command;
      Result r = varnox(args);
      EXPECT_EQ(r.status, kExitRefused) << command << " " << c.message;
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
      EXPECT_FALSE(fs::exists(path("new.img"))) << command << " touched a drive: " << c.message;
      EXPECT_FALSE(fs::exists(path("run.log"))) << command << ": " << c.message;
    }
  }
}

TEST_F(CheckAndOutput, TheJsonFileIsReplacedWholeAlsoOnARefusal) {
  std::ofstream(path("bad.toml")) << "[test]\npasses = 1\n[[drive]]\nblock_size = 1000\n";
  std::ofstream(path("ext4.img")) << std::string(8 << 20, '\0');
  const bool haveExt4 = std::system(("mkfs.ext4 -q -F " + path("ext4.img") + " >/dev/null 2>&1").c_str()) == 0;
  std::ofstream(path("ext4.toml")) << "[test]\npasses = 1\n[[drive]]\ndevice = \"" << path("ext4.img") << "\"\n";
  struct Case {
    std::string test;
    std::string reason;
  };
  std::vector<Case> cases = {{path("bad.toml"), "must be a power of two from 512 to 65536, got 1000"}};
  if (haveExt4) cases.push_back({path("ext4.toml"), "drive D0: device " + path("ext4.img") + ": carries a signature"});
  for (const Case& c : cases) {
    std::ofstream(path("r.json")) << "{\"result\": \"passed\"}";
    Result r = varnox({"run", c.test, "--json", path("r.json")});
    EXPECT_EQ(r.status, kExitRefused);
    const std::string json = readAll(path("r.json"));
    EXPECT_NE(json.find("\"result\": \"refused\""), std::string::npos) << json;
    EXPECT_NE(json.find(c.reason), std::string::npos) << json;
  }
  size_t files = 0;
  for (const fs::directory_entry& e : fs::directory_iterator(dir_)) files += e.path().filename().string()[0] == '.';
  EXPECT_EQ(files, 0u) << "a temporary file was left behind";
}

}  // namespace
}  // namespace varnox::cli
