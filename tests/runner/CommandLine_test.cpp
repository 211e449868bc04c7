// The varnox program end to end, in this process: test files through the real host, the
// Cardamor agent and the simulated drive. Refusals are the BadInput tables; whole runs that pass
// or fail are the fault-proof cases.
#include "support/RunVarnox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TempDir.h"
#include "varnox/TestRun.h"

namespace varnox::cli {
namespace {

using CommandLine = testing::TempDirTest;
using testing::runCli;

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

TEST_F(CommandLine, ChecksEveryExampleWithoutRunningIt) {
  for (const char* name : {"quick", "atomic", "power-cycle", "two-drives"}) {
    std::string example = std::string(VARNOX_SOURCE_DIR) + "/examples/" + name + ".toml";
    testing::CliResult r = runCli({"check", example});
    EXPECT_EQ(r.status, kExitPassed) << name << ": " << r.err;
    EXPECT_EQ(r.out.rfind(example + ": OK, ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("Result:"), std::string::npos) << "check must not run the test";
  }
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
  testing::CliResult first = runCli({"run", test, "--seed", "77", "--json", path("first.json"), "--output", path("out")});
  ASSERT_EQ(first.status, kExitPassed) << first.err << first.out;
  for (const std::string& line : {std::string("Drive D0: simulated drive, 131072 x 512-byte blocks\n"), std::string("  passes        400\n"),
                                  std::string("Result: passed (exit 0)"),
                                  "Repeat with: varnox run " + test + " --seed 77 --output " + path("out") + "\n"})
    EXPECT_NE(first.out.find(line), std::string::npos) << line << "\n" << first.out;

  const std::string json = testing::readAll(path("first.json"));
  EXPECT_EQ(jsonField(json, "exitStatus"), "0");
  EXPECT_EQ(jsonField(json, "randomSeed"), "77");
  EXPECT_EQ(jsonField(json, "startTime").size(), 22u) << json;  // "2025-01-31T12:00:00Z"
  EXPECT_NE(jsonField(json, "commandLine").find(" --seed 77 --json "), std::string::npos) << json;

  // The same seed gives the same commands, data and completions; a missing output directory is made.
  testing::CliResult second = runCli({"run", test, "--seed", "77", "--json", path("second.json"), "--output", path("new/run")});
  ASSERT_EQ(second.status, kExitPassed) << second.err;
  EXPECT_NE(second.err.find("varnox: created the output directory " + path("new") + "\n"), std::string::npos)
      << second.err;
  const std::string json2 = testing::readAll(path("second.json"));
  for (const char* field : {"commandsByKind", "completionsByStatus", "bytesWritten", "bytesVerified", "deviceStats"}) {
    EXPECT_FALSE(jsonField(json, field).empty()) << field;
    EXPECT_EQ(jsonField(json2, field), jsonField(json, field)) << field;
  }
  EXPECT_NE(jsonField(json, "bytesVerified"), "0");
}

TEST_F(CommandLine, ListsEveryAgentsKeysAndUsage) {
  // (arguments, a part of what they print)
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"keys"}, "\"Min Queue Size\""},
      {{"keys"}, "\"SyncCache Condition\""},
      {{"keys"}, "\"Cold Storage\""},
      {{"usage", "cardamor"}, "Usage:\n\nA method of data compare"},
      {{"usage", "lba"}, "max_xfer"},
      {{"keys", "lba"}, "max_xfer  (number min_xfer..65535, default 8)"},
      {{"keys", "write-kind"}, "writesame  (weight 0..1000000, default 0)"},
      {{"keys", "read-kind"}, "verify  (weight 0..1000000, default 1)"},
      {{"keys", "zones"}, "open_zones  (number 1..1024, default 2)"},
      {{"keys", "invalidate"}, "rate  (probability above 0 and at most 1, default 0.1)"},
      {{"keys", "protect"}, "condition  (a condition name, default \"e2e\")"},
      {{"--version"}, "varnox " VARNOX_TEST_VERSION " (source revision "},
      {{"--help"}, "\n  1 data-integrity failure:"},
      {{"--help"}, "\n  4 inconclusive: a drive checked no data\n"},
      {{"--help"}, "\n  130 interrupted by SIGINT"},
      {{"--help"}, "\n  143 interrupted by SIGTERM"},
  };
  for (const auto& [args, shown] : cases) {
    testing::CliResult r = runCli(args);
    EXPECT_EQ(r.status, kExitPassed) << args[0] << ": " << r.err;
    EXPECT_NE(r.out.find(shown), std::string::npos) << shown << "\n" << r.out;
  }
}

}  // namespace
}  // namespace varnox::cli
