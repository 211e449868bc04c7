// The varnox program end to end, in this process: test files through the real host, the
// Cardamor agent and the simulated drive.
#include "support/RunVarnox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "varnox/TestRun.h"

namespace varnox::cli {
namespace {

namespace fs = std::filesystem;

using Result = testing::CliResult;
Result varnox(std::vector<std::string> args) { return testing::runCli(std::move(args)); }

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("varnox_cli_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string file(const std::string& name, const std::string& text) {
    std::string path = (dir_ / name).string();
    std::ofstream(path) << text;
    return path;
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

// A small drive and short ranges keep a run of a few hundred passes quick.
constexpr const char* kTiny = R"(
[test]
passes = 400
[[drive]]
capacity = "64MiB"
queue_depth = 8
[[flow]]
agent = "lba"
max_xfer = 8
[[flow]]
agent = "cardamor"
[[flow]]
command = "write"
condition = "write"
[[flow]]
command = "read"
condition = "read"
[[flow]]
command = "getstatus"
[cardamor]
"Write Condition" = "write"
"Read Condition" = "read"
"Min Queue Size" = 4
"Max Queue Size" = 16
"Bucket Count" = 1024
)";

TEST_F(CommandLine, RefusesBadFilesAndOptionsWithExitTwoAndOneMessage) {
  std::string good = file("good.toml", kTiny);
  struct Case {
    std::vector<std::string> args;
    std::string message;  // a part of the message that names the problem
  };
  const std::vector<Case> cases = {
      {{"run", file("k.toml", "[test]\npasses = 1\nqueue_depth = 4\n")}, "[test]: unknown key \"queue_depth\""},
      {{"run", file("t.toml", "[[drive]]\nqueue_depth = \"deep\"\n")},
       "\"queue_depth\" must be an integer from 1 to 1024, got \"deep\""},
      {{"run", file("f.toml", "[test]\npasses = 1\n[[fault]]\nkind = \"gremlins\"\n")}, "\"kind\" must be one of"},
      {{"run", path("missing.toml")}, "missing.toml: cannot open the test file"},
      {{"run", good, "--duration", "5 fortnights"}, "--duration: unknown duration unit \"fortnights\""},
      {{"run", good, "--duration", "5s", "--passes", "3"}, "--duration excludes --passes"},
      {{"run", good, "--seed", "0"}, "--seed: must be from 1 to 4294967295, got \"0\""},
      {{"run", good, "--set", "Nonsense Key=1"}, "\"Nonsense Key\""},
      {{"run", good, "--set", "Max Queue Size=2000000"}, "\"Max Queue Size\": value \"2000000\" is out of range"},
      {{"run", good, "--set", "Embed Data=maybe"}, "\"Embed Data\""},
      // The order of the two queue sizes is the agent's own check, made when the drive is set up.
      {{"check", good, "--set", "Min Queue Size=50", "--set", "Max Queue Size=10"}, "Min Queue Size > Max Queue Size"},
      {{"run", good, "--json", path("no/such/dir/out.json")}, "--json: cannot write"},
      {{"run", file("n.toml", "[[drive]]\n")}, "set \"duration\" or \"passes\""},
      {{"run", good, "--frobnicate"}, "--frobnicate"},
      {{"keys", path("libnothere.so")}, "libnothere.so"},
      {{}, "A subcommand is required"},
  };
  for (const Case& c : cases) {
    Result r = varnox(c.args);
    std::string what = c.args.empty() ? "(no arguments)" : c.args[0] + " " + c.args.back();
    EXPECT_EQ(r.status, kExitRefused) << what << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("varnox: ", 0), 0u) << what << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << what << "\n" << r.err;
    EXPECT_EQ(r.out, "") << what;
  }
  EXPECT_FALSE(fs::exists(path("no")));
}

TEST_F(CommandLine, ChecksEveryExampleWithoutRunningIt) {
  for (const char* name : {"quick", "atomic", "power-cycle", "two-drives"}) {
    std::string example = std::string(VARNOX_SOURCE_DIR) + "/examples/" + name + ".toml";
    Result r = varnox({"check", example});
    EXPECT_EQ(r.status, kExitPassed) << name << ": " << r.err;
    EXPECT_EQ(r.out.rfind(example + ": OK, ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("Result:"), std::string::npos) << "check must not run the test";
  }
}

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string jsonField(const std::string& json, const std::string& name) {
  size_t at = json.find("\"" + name + "\": ");
  if (at == std::string::npos) return "";
  at += name.size() + 4;
  size_t end = json[at] == '{' ? json.find('}', at) + 1 : json.find_first_of(",\n", at);
  return json.substr(at, end - at);
}

TEST_F(CommandLine, ShortRunPassesAndRepeatsExactlyWithTheSameSeed) {
  std::string test = file("tiny.toml", kTiny);
  Result first = varnox({"run", test, "--seed", "77", "--json", path("first.json"), "--output", path("out")});
  ASSERT_EQ(first.status, kExitPassed) << first.err << first.out;
  EXPECT_NE(first.out.find("Drive D0: simulated drive, 131072 x 512-byte blocks\n"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("  passes        400\n"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("Result: passed (exit 0)"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("Repeat with: varnox run " + test + " --seed 77 --output " + path("out") + "\n"),
            std::string::npos)
      << first.out;

  const std::string json = readAll(path("first.json"));
  EXPECT_EQ(jsonField(json, "exitStatus"), "0");
  EXPECT_EQ(jsonField(json, "passes"), "400");
  EXPECT_EQ(jsonField(json, "randomSeed"), "77");
  EXPECT_NE(jsonField(json, "bytesWritten"), "0");
  EXPECT_NE(jsonField(json, "bytesVerified"), "0");

  EXPECT_EQ(jsonField(json, "startTime").size(), 22u) << json;  // "2025-01-31T12:00:00Z"
  EXPECT_NE(jsonField(json, "commandLine").find(" --seed 77 --json "), std::string::npos) << json;
  EXPECT_NE(jsonField(json, "geometry").find("\"blocks\": 131072, \"blockSize\": 512, "), std::string::npos) << json;

  // The same seed gives the same commands, data and completions; a missing output directory is made.
  Result second = varnox({"run", test, "--seed", "77", "--json", path("second.json"), "--output", path("new/run")});
  ASSERT_EQ(second.status, kExitPassed) << second.err;
  EXPECT_NE(second.err.find("varnox: created the output directory " + path("new") + "\n"), std::string::npos)
      << second.err;
  const std::string json2 = readAll(path("second.json"));
  for (const char* field : {"commandsByKind", "completionsByStatus", "bytesWritten", "bytesVerified", "deviceStats"}) {
    EXPECT_FALSE(jsonField(json, field).empty()) << field;
    EXPECT_EQ(jsonField(json2, field), jsonField(json, field)) << field;
  }
}

TEST_F(CommandLine, LostDataEndsTheRunWithExitOneAndTheFailingBlock) {
  // A trim the agent knows nothing about, sent after each of its writes, stands in for a drive
  // that loses written data: the read-back has to catch it.
  std::string text = kTiny;
  const std::string write = "command = \"write\"\ncondition = \"write\"\n";
  text.insert(text.find(write) + write.size(),
              "[[flow]]\ncommand = \"trim\"\ncondition = \"write\"\nname = \"unseen trim\"\n");
  Result r = varnox({"run", file("lossy.toml", text), "--seed", "3", "--json", path("lossy.json"), "--output", path("lossy")});
  EXPECT_EQ(r.status, kExitIntegrityFailure) << r.err << r.out;
  EXPECT_NE(r.out.find("  failures      1\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  ended by      -1046 "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  failure       Miscompare Detected at LBA 0x"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Result: data-integrity failure (exit 1)"), std::string::npos) << r.out;

  const std::string json = readAll(path("lossy.json"));
  EXPECT_EQ(jsonField(json, "result"), "\"data-integrity failure\"");
  EXPECT_EQ(jsonField(json, "exitStatus"), "1");
  EXPECT_EQ(jsonField(json, "agentStatus"), "-1046");
}

TEST_F(CommandLine, ListsTheAgentsKeysAndUsage) {
  Result keys = varnox({"keys"});
  ASSERT_EQ(keys.status, kExitPassed) << keys.err;
  for (const char* key : {"\"Min Queue Size\"", "\"Random Seed\"", "\"SyncCache Condition\"", "\"Cold Storage\""})
    EXPECT_NE(keys.out.find(key), std::string::npos) << key;
  Result usage = varnox({"usage", "cardamor"});
  ASSERT_EQ(usage.status, kExitPassed) << usage.err;
  EXPECT_EQ(usage.out.rfind("Usage:\n\nA method of data compare", 0), 0u) << usage.out;

  Result version = varnox({"--version"});
  EXPECT_EQ(version.status, kExitPassed) << version.err;
  EXPECT_EQ(version.out.rfind("varnox " VARNOX_TEST_VERSION " (source revision ", 0), 0u) << version.out;
  Result help = varnox({"--help"});
  EXPECT_EQ(help.status, kExitPassed) << help.err;
  for (const char* status : {"\n  1 data-integrity failure:", "\n  4 inconclusive: a drive checked no data\n",
                             "\n  130 interrupted by SIGINT", "\n  143 interrupted by SIGTERM"})
    EXPECT_NE(help.out.find(status), std::string::npos) << status;
}

}  // namespace
}  // namespace varnox::cli
