// Malformed test files and option values through the whole command line: each one is refused
// by both `check` and `run` with exit 2 (3 when a path cannot be used as a drive) and exactly one
// error line that names the key, value or file at fault. None runs a test, none crashes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "varnox/TestRun.h"

namespace varnox::cli {
namespace {

namespace fs = std::filesystem;

struct BadInput {
  std::string file;                // test file text; empty: the path is given by `path`
  std::vector<std::string> args;   // options after the file
  int status;                      // kExitRefused or kExitDeviceFailure
  std::string named;               // what the error line must contain
};

// A valid small test; rows append tables or replace it.
constexpr const char* kLimit = "[test]\npasses = 2\n";
constexpr const char* kSmallDrive = "[[drive]]\ncapacity = \"1MiB\"\nqueue_depth = 4\n";
// The default flow after its LBA step.
constexpr const char* kFlowAfterLba =
    "[[flow]]\nagent = \"cardamor\"\n[[flow]]\ncommand = \"write\"\ncondition = \"write\"\n"
    "[[flow]]\ncommand = \"read\"\ncondition = \"read\"\n[[flow]]\ncommand = \"getstatus\"\n"
    "[cardamor]\n\"Write Condition\" = \"write\"\n\"Read Condition\" = \"read\"\n";

std::string small(const std::string& more) { return std::string(kLimit) + kSmallDrive + more; }

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST(BadInput, EveryBadFileAndOptionIsRefusedWithOneLineNamingIt) {
  const fs::path dir = fs::path(::testing::TempDir()) / "varnox_bad_input";
  fs::remove_all(dir);
  fs::create_directories(dir / "a-directory.toml");
  const std::string missing = (dir / "missing.toml").string();
  // A folder this test made sure is not there, rather than one assumed missing on the machine.
  const std::string absent = (dir / "absent").string();
  const std::string directory = (dir / "a-directory.toml").string();

  const std::vector<BadInput> table = {
      // Unknown keys, wherever they are.
      {small("[[fault]]\nkind = \"abort\"\nlbaa = 5\n"), {}, kExitRefused, "unknown key \"lbaa\""},
      {small("[cardamor]\n\"Max Queue Sise\" = 16\n"), {}, kExitRefused, "\"Max Queue Sise\""},
      {small("[[flow]]\nagent = \"lba\"\n[[flow]]\nagent = \"cardamor\"\n[[flow]]\ncommand = \"write\"\ncondition = \"write\"\n"
             "length = 8\n[[flow]]\ncommand = \"getstatus\"\n[cardamor]\n\"Write Condition\" = \"write\"\n"),
       {}, kExitRefused,
       "\"length\""},
      {small("[[flow]]\nagent = \"lba\"\nmax_xfr = 8\n" + std::string(kFlowAfterLba)), {}, kExitRefused, "\"max_xfr\""},
      // Numbers out of range, and a minimum above its maximum.
      {small("[cardamor]\n\"Max Queue Size\" = 2000000\n"), {}, kExitRefused, "\"2000000\""},
      {std::string(kLimit) + "[[drive]]\nphysical_exponent = 8\n", {}, kExitRefused, "\"physical_exponent\""},
      {small("[cardamor]\n\"Min Queue Size\" = 50\n\"Max Queue Size\" = 10\n"), {}, kExitRefused,
       "Min Queue Size > Max Queue Size"},
      {small("[[flow]]\nagent = \"lba\"\nmin_lba = 100\nmax_lba = 10\n" + std::string(kFlowAfterLba)), {},
       kExitRefused, "\"min_lba\""},
      // Conditions: one that cannot be read, and a flow whose commands nobody collects.
      {small("[[flow]]\nagent = \"lba\"\n[[flow]]\nagent = \"cardamor\"\n[[flow]]\ncommand = \"write\"\n"
             "condition = \"write&\"\n[[flow]]\ncommand = \"getstatus\"\n"),
       {}, kExitRefused, "\"write&\""},
      {small("[[flow]]\nagent = \"lba\"\n[[flow]]\nagent = \"cardamor\"\n[[flow]]\ncommand = \"write\"\n"), {},
       kExitRefused, "GetStatus"},
      // Flows that could not check anything.
      {small("[[flow]]\nagent = \"lba\"\n[[flow]]\ncommand = \"write\"\n[[flow]]\ncommand = \"getstatus\"\n"), {},
       kExitRefused, "no \"cardamor\" agent"},
      {small("[[flow]]\nagent = \"cardamor\"\n" + std::string(kFlowAfterLba)), {}, kExitRefused, "twice"},
      {small("[[flow]]\nagent = \"cardamor\"\n[[flow]]\ncommand = \"write\"\ncondition = \"write\"\n"
             "[[flow]]\ncommand = \"getstatus\"\n[cardamor]\n\"Write Condition\" = \"write\"\n"),
       {}, kExitRefused, "no \"lba\" agent"},
      {small("[[flow]]\nagent = \"lba\"\n" + std::string(kFlowAfterLba) + "\"Verify Condition\" = \"verify\"\n"), {},
       kExitRefused, "\"Verify Condition\" = \"verify\" guards no step"},
      {small("[[flow]]\nagent = \"lba\"\n" + std::string(kFlowAfterLba) + "[[flow]]\ncommand = \"trim\"\ncondition = \"trmi\"\n"),
       {}, kExitRefused, "\"trmi\", which no agent applies"},
      // Wrong types.
      {small("[cardamor]\n\"Min Queue Size\" = \"lots\"\n"), {}, kExitRefused, "\"lots\""},
      {std::string(kLimit) + "[[drive]]\ndestroy_data = \"yes\"\n", {}, kExitRefused, "\"destroy_data\""},
      {"test = 5\n", {}, kExitRefused, "[test] must be a table, got 5"},
      {"\x01\x02garbage\n", {}, kExitRefused, ":1:1:"},
      // Control characters in values stay escaped inside the one line.
      {std::string(kLimit) + "[[drive]]\nname = \"a\\nb\"\n", {}, kExitRefused, "got \"a\\nb\""},
      {small("[cardamor]\n\"Min Queue Size\" = \"1\\t2\"\n"), {}, kExitRefused, "\"1\\t2\""},
      {small(""), {"--duration", "5\nfortnights"}, kExitRefused, "in \"5\\nfortnights\""},
      // Faults: unknown kinds and fields that cannot apply.
      {small("[[fault]]\nkind = 7\n"), {}, kExitRefused, "\"kind\" must be one of"},
      {small("[[fault]]\nkind = \"abort\"\ncount = \"two\"\n"), {}, kExitRefused, "\"count\""},
      {small("[[fault]]\nkind = \"abort\"\nafter = -5\n"), {}, kExitRefused, "\"after\""},
      {small("[[fault]]\nkind = \"abort\"\nrate = 0\n"), {}, kExitRefused, "\"rate\""},
      {small("[[fault]]\nkind = \"corrupt\"\nlba = 2048\n"), {}, kExitRefused, "\"lba\""},
      // Paths that cannot be a drive all end alike, each with its reason.
      {std::string(kLimit) + "[[drive]]\ndevice = \"" + missing + "/disk.img\"\n", {}, kExitDeviceFailure,
       missing + "/disk.img: cannot"},
      {std::string(kLimit) + "[[drive]]\ndevice = \"" + directory + "\"\n", {}, kExitDeviceFailure,
       directory + ": cannot be used as a drive: it is a directory"},
      {std::string(kLimit) + "[[drive]]\ndevice = \"/dev/null\"\n", {}, kExitDeviceFailure,
       "/dev/null: cannot be used as a drive: it is a character device"},
      // Files the run cannot open: the log, an agent library.
      {"[test]\npasses = 2\nlog = \"" + absent + "/run.log\"\n" + kSmallDrive, {}, kExitRefused, absent + "/run.log"},
      {small("[[flow]]\nagent = \"" + absent + "/libagent.so\"\n[[flow]]\nagent = \"lba\"\n" + std::string(kFlowAfterLba)), {},
       kExitRefused, absent + "/libagent.so"},
      // Option values.
      {small(""), {"--seed", "abc"}, kExitRefused, "--seed"},
      {small(""), {"--seed", "4294967296"}, kExitRefused, "--seed"},
      {small(""), {"--seed", "-1"}, kExitRefused, "--seed"},
      {small(""), {"--passes", "0"}, kExitRefused, "--passes"},
      {small(""), {"--passes", "many"}, kExitRefused, "--passes"},
      {small(""), {"--passes", "-1"}, kExitRefused, "--passes"},
      {small(""), {"--passes", "18446744073709551616"}, kExitRefused, "--passes: must be from 1 to 18446744073709551615, got \"18446744073709551616\""},
      {small(""), {"--seed", "99999999999999999999"}, kExitRefused, "got \"99999999999999999999\""},
      {std::string("[test]\nduration = \"5s\"\npasses = 2\n") + kSmallDrive, {}, kExitRefused,
       "[test]: \"duration\" and \"passes\" cannot both be given"},
      {std::string(kLimit) + "[[drive]]\nblock_size = 3000\n", {}, kExitRefused, "\"block_size\" must be a power of two"},
      {small(""), {"--duration", "-5s"}, kExitRefused, "-5s"},
      {small(""), {"--duration", "1000000h"}, kExitRefused, "--duration: must be at most 100 years"},
      {"[test]\nduration = \"99999999999999999999999s\"\n", {}, kExitRefused, "\"duration\" must be at most 100 years"},
      {small(""), {"--duration", "0s"}, kExitRefused, "--duration"},
      {small(""), {"--set", "Max Queue Size"}, kExitRefused, "\"Max Queue Size\""},
      {small(""), {"--set", "=5"}, kExitRefused, "\"=5\""},
      {small(""), {"--set", "Min Queue Size=abc"}, kExitRefused, "\"abc\""},
      {small(""), {"--set", "Min Queue Size=100", "--set", "Max Queue Size=20"}, kExitRefused,
       "Min Queue Size > Max Queue Size"},
      // Test files that are not files.
      {"", {missing}, kExitRefused, missing},
      {"", {directory}, kExitRefused, directory + ": cannot read the test file: it is a directory"},
  };

  for (size_t i = 0; i < table.size(); ++i) {
    const BadInput& row = table[i];
    std::vector<std::string> args = row.args;
    if (!row.file.empty() || row.args.empty() || row.args[0].rfind("--", 0) == 0) {
      const std::string path = (dir / ("bad" + std::to_string(i) + ".toml")).string();
      std::ofstream(path, std::ios::binary) << row.file;
      args.insert(args.begin(), path);
    }
    for (const char* command : {"check", "run"}) {
      std::vector<const char*> argv = {"varnox", command};
      for (const std::string& a : args) argv.push_back(a.c_str());
      std::ostringstream out, err;
      const int status = runVarnox(static_cast<int>(argv.size()), argv.data(), out, err);
      const std::string what = "row " + std::to_string(i) + ", " + command + ": " + err.str();
      const std::vector<std::string> said = lines(err.str());
      EXPECT_EQ(status, row.status) << what;
      EXPECT_EQ(out.str(), "") << what;
      ASSERT_FALSE(said.empty()) << what;
      EXPECT_EQ(said[0].rfind("varnox: ", 0), 0u) << what;
      EXPECT_NE(said[0].find(row.named), std::string::npos) << what << "should name " << row.named;
      // Only a command-line error adds its hint line.
      EXPECT_TRUE(said.size() == 1 || (said.size() == 2 && said[1].rfind("Run 'varnox --help'", 0) == 0)) << what;
    }
  }
  fs::remove_all(dir);
}

// What only `run` and `report` take: the run's output files and the JSON a report is drawn from.
TEST(BadInput, RunOutputsAndReportInputsAreRefusedNamingThem) {
  const fs::path dir = fs::path(::testing::TempDir()) / "varnox_bad_outputs";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string test = (dir / "t.toml").string(), notJson = (dir / "t.json").string();
  std::ofstream(test) << small("");
  std::ofstream(notJson) << "{\"drives\": 5}";
  const std::vector<std::vector<std::string>> table = {
      {"run", test, "--interval", "100ms", "--interval"},
      {"run", test, "--interval", "soon", "--interval"},
      {"run", test, "--series", (dir / "absent/s.csv").string(), (dir / "absent/s.csv").string()},
      {"run", test, "--report", (dir / "absent/r.html").string(), (dir / "absent/r.html").string()},
      {"report", (dir / "missing.json").string(), (dir / "missing.json").string()},
      {"report", notJson, notJson + ": not the JSON summary of a run"},
  };
  for (const std::vector<std::string>& row : table) {
    std::vector<const char*> argv = {"varnox"};
    for (size_t i = 0; i + 1 < row.size(); ++i) argv.push_back(row[i].c_str());
    std::ostringstream out, err;
    EXPECT_EQ(runVarnox(static_cast<int>(argv.size()), argv.data(), out, err), kExitRefused) << row[2];
    EXPECT_EQ(lines(err.str()).size(), 1u) << err.str();
    EXPECT_NE(err.str().find(row.back()), std::string::npos) << err.str() << " should name " << row.back();
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace varnox::cli
