// A sweep of bad inputs a new user might type: every key of every table with values of the wrong
// type, out of range or misspelt, and options with bad values. Each one, through `check` and
// `run`, is refused with exit 2 and one line naming the key, value or option at fault, and leaves
// nothing behind: no output folder, no log, no drive image. The table is built here, so that a
// new key costs one row.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "runner/CaseFile.h"
#include "support/RunVarnox.h"
#include "support/TempDir.h"

namespace varnox::testing {
namespace {

namespace fs = std::filesystem;
using BadInputSweep = TempDirTest;

struct Bad {
  std::string table;  // "test", "drive", "flow", "cardamor", "fault", or "option"
  std::string line;   // the TOML line (or the command-line words for "option")
  std::string named;  // what the error must name
};

// A test that runs: a file drive (so an image made too early shows), an output base and a log
// (so a folder or log made too early shows). `extra` goes into the table it belongs to.
std::string testFile(const std::string& dir, const Bad& bad) {
  auto in = [&bad](const std::string& table) { return bad.table == table ? bad.line + "\n" : std::string(); };
  return "[test]\npasses = 20\noutput = \"" + dir + "/out/run\"\nlog = \"" + dir + "/run.log\"\n" +
         in("test") + "[[drive]]\ndevice = \"" + dir + "/d.img\"\ncapacity = \"1MiB\"\nqueue_depth = 4\n" +
         in("drive") +
         (bad.table == "flow"
              ? "[[flow]]\nagent = \"lba\"\n[[flow]]\nagent = \"cardamor\"\n[[flow]]\n" + bad.line +
                    "\n[[flow]]\ncommand = \"write\"\ncondition = \"write\"\n[[flow]]\ncommand = "
                    "\"read\"\ncondition = \"read\"\n[[flow]]\ncommand = \"getstatus\"\n[cardamor]\n"
                    "\"Write Condition\" = \"write\"\n\"Read Condition\" = \"read\"\n"
              : std::string()) +
         (bad.table == "cardamor" ? "[cardamor]\n" + bad.line + "\n" : std::string()) +
         (bad.table == "fault" ? "[[fault]]\n" + bad.line + "\n" : std::string());
}

std::vector<Bad> badInputs() {
  std::vector<Bad> bad;
  auto values = [&bad](const std::string& table, const std::string& key,
                       const std::vector<std::string>& list) {
    for (const std::string& value : list) bad.push_back({table, key + " = " + value, key});
  };
  const std::vector<std::string> notInt = {"\"7\"", "1.5", "true", "[1]", "{a = 1}", "-1", "\"\""};
  const std::vector<std::string> notBool = {"\"true\"", "1", "0", "\"yes\"", "[true]"};
  const std::vector<std::string> notText = {"5", "true", "[\"a\"]", "{a = \"b\"}", "1.5"};
  values("test", "duration",
         {"0", "-1", "\"\"", "\"5x\"", "\"-5s\"", "true", "[1]", "\"1e400s\"", "\"876001h\"", "\"s\"",
          "{a = 1}", "\"0s\""});
  values("test", "passes", {"0", "-1", "\"10\"", "1.5", "true", "[1]"});
  values("test", "command_timeout", {"\"soon\"", "-1", "\"-1s\"", "true", "[1]", "\"5 parsecs\""});
  values("test", "max_device_errors", notInt);
  values("test", "output", notText);
  values("test", "log", notText);
  values("test", "lgo", {"\"x\""});
  values("drive", "name", {"\"a b\"", "\"x/y\"", "5", "true", "\"D0;rm\"", "\"\\u00e9\""});
  values("drive", "device", {"5", "true", "\"SIM\"", "\"Sim\"", "[\"sim\"]"});
  values("drive", "capacity",
         {"\"65536\"", "0", "-1", "\"1XB\"", "\"\"", "\"1000B\"", "true", "\"1.5\"", "[1]", "\"99999999TiB\"",
          "\"-1MiB\""});
  values("drive", "block_size", {"0", "1000", "256", "131072", "\"512\"", "-512", "4097"});
  values("drive", "protection_info", notBool);
  values("drive", "physical_exponent", {"-1", "8", "\"1\"", "1.5", "true"});
  values("drive", "queue_depth", {"0", "1025", "-1", "\"32\"", "2.5"});
  values("drive", "completions", {"\"random\"", "1", "true", "\"In-Order\""});
  values("drive", "write_cache", {"\"off\"", "true", "\"Volatile\"", "3"});
  values("drive", "atomic_unit", {"-1", "65537", "\"1\"", "4096"});
  values("drive", "seed", {"-1", "\"5\"", "1.5", "true"});
  values("drive", "direct_io", notBool);
  values("drive", "destroy_data", notBool);
  values("drive", "precondition", notBool);
  values("drive", "zone_size", {"0", "-5", "\"64\"", "64"});
  values("drive", "zone_model", {"\"managed\"", "\"host-aware\"", "5"});
  values("drive", "capcity", {"\"1MiB\""});
  bad.push_back({"flow", "agent = \"lbaa\"", "lbaa"});
  bad.push_back({"flow", "agent = \"/nonexistent/libx.so\"", "/nonexistent/libx.so"});
  bad.push_back({"flow", "agent = 5", "agent"});
  bad.push_back({"flow", "command = \"wirte\"", "wirte"});
  bad.push_back({"flow", "command = \"write\"\ncondition = \"wr ite\"", "wr ite"});
  bad.push_back({"flow", "command = \"write\"\ncondition = \"nobody\"", "nobody"});
  bad.push_back({"flow", "command = \"write\"\nagent = \"lba\"", "agent"});
  bad.push_back({"flow", "condition = \"write\"", "agent"});
  bad.push_back({"flow", "command = \"write\"\ncondition = \"write\"\nmin_xfer = 4", "min_xfer"});
  bad.push_back({"flow", "agent = \"lba\"\nmin_xfer = 0", "min_xfer"});
  bad.push_back({"flow", "agent = \"lba\"\nmode = \"zigzag\"", "zigzag"});
  bad.push_back({"flow", "agent = \"lba\"\nmin_xfer = 64\nmax_xfer = 8", "min_xfer"});
  bad.push_back({"flow", "agent = \"write-kind\"\nwrite = -1", "write"});
  bad.push_back({"flow", "agent = \"lba\"\nbogus = 1", "bogus"});
  bad.push_back({"flow", "agent = \"cardamor\"", "cardamor"});
  bad.push_back({"flow", "name = [1]\ncommand = \"trim\"", "name"});
  for (const char* key : {"\"Min Queue Size\"", "\"Max Queue Size\"", "\"Random Seed\"", "\"Bucket Count\""})
    values("cardamor", key, {"\"abc\"", "-1", "[1]", "1.5e99"});
  values("cardamor", "\"Max Queue Sise\"", {"16"});
  values("cardamor", "\"Showstop on Miscompare\"", {"\"maybe\"", "[true]"});
  values("cardamor", "\"Write Condition\"", {"\"no such\"", "5"});
  bad.push_back({"cardamor", "\"Min Queue Size\" = 500\n\"Max Queue Size\" = 100", "Min Queue Size"});
  bad.push_back({"cardamor", "\"Miscompare Output Path\" = \"/proc/nope/mc\"", "Miscompare Output Path"});
  values("fault", "kind", {"\"corupt\"", "5", "\"\"", "[\"abort\"]", "\"hang\"", "\"power-loss\""});
  bad.push_back({"fault", "kind = \"abort\"\nrate = 2", "rate"});
  bad.push_back({"fault", "kind = \"abort\"\nrate = -0.1", "rate"});
  bad.push_back({"fault", "kind = \"abort\"\nrate = \"often\"", "rate"});
  bad.push_back({"fault", "kind = \"abort\"\ncount = -1", "count"});
  bad.push_back({"fault", "kind = \"abort\"\ncount = \"1\"", "count"});
  bad.push_back({"fault", "kind = \"abort\"\nafter = -1", "after"});
  bad.push_back({"fault", "kind = \"abort\"\nafter = 1.5", "after"});
  bad.push_back({"fault", "kind = \"abort\"\nlba = -1", "lba"});
  bad.push_back({"fault", "kind = \"abort\"\nlba = 99999999", "lba"});
  bad.push_back({"fault", "kind = \"abort\"\nlba = \"0\"", "lba"});
  bad.push_back({"fault", "kind = \"slow\"\ndelay = \"x\"", "delay"});
  bad.push_back({"fault", "kind = \"slow\"\ndelay = -1", "delay"});
  bad.push_back({"fault", "kind = \"abort\"\ndelay = \"5ms\"", "delay"});
  bad.push_back({"fault", "kind = \"abort\"\ndrive = \"D9\"", "D9"});
  bad.push_back({"fault", "kind = \"abort\"\ndrive = 0", "drive"});
  bad.push_back({"fault", "kind = \"abort\"\nlbaa = 5", "lbaa"});
  bad.push_back({"fault", "lba = 5", "kind"});
  for (const auto& [words, named] :
       std::vector<std::pair<std::string, std::string>>{{"--duration 0", "--duration"},
                                                        {"--duration -5s", "--duration"},
                                                        {"--duration soon", "--duration"},
                                                        {"--duration 1e400", "--duration"},
                                                        {"--duration 876001h", "--duration"},
                                                        {"--passes 0", "--passes"},
                                                        {"--passes -1", "--passes"},
                                                        {"--passes 1.5", "--passes"},
                                                        {"--passes x", "--passes"},
                                                        {"--passes 18446744073709551616", "--passes"},
                                                        {"--seed 0", "--seed"},
                                                        {"--seed 4294967296", "--seed"},
                                                        {"--seed -1", "--seed"},
                                                        {"--seed x", "--seed"},
                                                        {"--set x", "--set"},
                                                        {"--set =1", "--set"},
                                                        {"--set \"Max Queue Sise=5\"", "Max Queue Sise"},
                                                        {"--set \"Min Queue Size=abc\"", "Min Queue Size"},
                                                        {"--duration 5s --passes 5", "--passes"},
                                                        {"--bogus", "--bogus"},
                                                        {"--seed", "--seed"},
                                                        {"--seed 1 --seed 2", "--seed"}})
    bad.push_back({"option", words, named});
  return bad;
}

std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(BadInputSweep, EveryBadInputIsRefusedByNameAndWritesNothing) {
  const std::vector<Bad> cases = badInputs();
  size_t runs = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Bad& bad = cases[i];
    const fs::path dir = dir_ / std::to_string(i);
    fs::create_directories(dir);
    const std::string test = (dir / "t.toml").string();
    std::ofstream(test) << testFile(dir.string(), bad);
    for (const char* command : {"check", "run"}) {
      SCOPED_TRACE(std::string(command) + " with " + bad.table + ": " + bad.line);
      std::vector<std::string> args = {command, test};
      if (bad.table == "option") {
        for (const std::string& word : splitArgs(bad.line)) args.push_back(word);
      }
      const CliResult r = runCli(args);
      ++runs;
      EXPECT_EQ(r.status, 2) << r.err << r.out;
      EXPECT_EQ(r.out, "");
      // Warnings about what the file sets may come first; the refusal is the line after them.
      std::string rest = r.err;
      while (rest.starts_with("varnox: warning: ")) rest = rest.substr(rest.find('\n') + 1);
      const std::string first = rest.substr(0, rest.find('\n'));
      EXPECT_TRUE(first.starts_with("varnox: ")) << r.err;
      EXPECT_NE(first.find(bad.named), std::string::npos) << "should name " << bad.named << ": " << r.err;
      EXPECT_EQ(listing(dir), std::vector<std::string>{"t.toml"});
    }
  }
  // The count the sweep promises; a table that shrank by accident shows here.
  EXPECT_GE(cases.size(), 200u);
  RecordProperty("bad_inputs", static_cast<int>(cases.size()));
  RecordProperty("runs", static_cast<int>(runs));
}

}  // namespace
}  // namespace varnox::testing
