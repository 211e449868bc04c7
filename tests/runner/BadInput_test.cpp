// Malformed test files and option values through the whole command line: each one is refused
// by both `check` and `run` with exit 2 (3 when a path cannot be used as a drive) and one error
// line naming the key, value or file at fault (a command-line error adds the hint to --help).
// None runs a test, none crashes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/RunVarnox.h"
#include "support/TempDir.h"
#include "varnox/TestRun.h"

namespace varnox::cli {
namespace {

using BadInput = testing::TempDirTest;

// A valid small test; rows append tables or replace it.
constexpr const char* kLimit = "[test]\npasses = 2\n";
constexpr const char* kSmallDrive = "[[drive]]\ncapacity = \"1MiB\"\nqueue_depth = 4\n";
// The default flow after its LBA step.
constexpr const char* kFlowAfterLba =
    "[[flow]]\nagent = \"cardamor\"\n[[flow]]\ncommand = \"write\"\ncondition = \"write\"\n"
    "[[flow]]\ncommand = \"read\"\ncondition = \"read\"\n[[flow]]\ncommand = \"getstatus\"\n"
    "[cardamor]\n\"Write Condition\" = \"write\"\n\"Read Condition\" = \"read\"\n";

std::string small(const std::string& more) { return std::string(kLimit) + kSmallDrive + more; }
// The default flow with `lba` settings, then `more` (keys of [cardamor], or further steps).
std::string flow(const std::string& lba, const std::string& more = "") {
  return "[[flow]]\nagent = \"lba\"\n" + lba + kFlowAfterLba + more;
}

// Refused with `status`, nothing on the standard output, and a first line "varnox: ..." that names
// `named`; a second line only as the hint of a command-line error.
void expectRefused(const std::vector<std::string>& args, int status, const std::string& named) {
  const testing::CliResult r = testing::runCli(args);
  std::string what;
  for (const std::string& a : args) what += a + " ";
  what += "said: " + r.err;
  EXPECT_EQ(r.status, status) << what;
  EXPECT_EQ(r.out, "") << what;
  EXPECT_EQ(r.err.rfind("varnox: ", 0), 0u) << what;
  const size_t end = r.err.find('\n');
  EXPECT_NE(r.err.substr(0, end).find(named), std::string::npos) << what << "should name " << named;
  const std::string rest = end == std::string::npos ? "" : r.err.substr(end + 1);
  EXPECT_TRUE(rest.empty() || (rest.rfind("Run 'varnox --help'", 0) == 0 && rest.find('\n') >= rest.size() - 1))
      << what;
}

TEST_F(BadInput, EveryBadFileAndOptionIsRefusedWithOneLineNamingIt) {
  std::filesystem::create_directories(dir_ / "a-directory.toml");
  const std::string missing = path("missing.toml");
  // A folder this test made sure is not there, rather than one assumed missing on the machine.
  const std::string absent = path("absent");
  const std::string directory = path("a-directory.toml");
  struct Row {
    std::string file;               // test file text; empty: the path is given by `args`
    std::vector<std::string> args;  // options after the file
    int status;                     // kExitRefused or kExitDeviceFailure
    std::string named;              // what the error line must contain
  };
  const std::vector<Row> table = {
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
      {small(""), {"--passes", "0"}, kExitRefused, "--passes: must be from 1 to 18446744073709551615, got \"0\""},
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
      {small(""), {"--set", "Max Queue Size 512"}, kExitRefused,
       "--set: expected KEY=VALUE, e.g. --set \"Max Queue Size=512\", got \"Max Queue Size 512\""},
      {small(""), {"--set", "=5"}, kExitRefused, "\"=5\""},
      {small(""), {"--set", "Min Queue Size=abc"}, kExitRefused, "\"abc\""},
      {small(""), {"--set", "Min Queue Size=100", "--set", "Max Queue Size=20"}, kExitRefused,
       "Min Queue Size > Max Queue Size"},
      // Test files that are not files.
      {"", {missing}, kExitRefused, missing + ": cannot open the test file"},
      {"", {directory}, kExitRefused, directory + ": cannot read the test file: it is a directory"},
      {"[test]\npasses = 1\nqueue_depth = 4\n", {}, kExitRefused, "[test]: unknown key \"queue_depth\""},
      {"[[drive]]\nqueue_depth = \"deep\"\n", {}, kExitRefused,
       "\"queue_depth\" must be an integer from 1 to 1024, got \"deep\""},
      {"[[drive]]\n", {}, kExitRefused, "set \"duration\" or \"passes\" (or give --duration or --passes)"},
      {small(""), {"--duration", "5s", "--passes", "3"}, kExitRefused, "--duration excludes --passes"},
      {small(""), {"--duration", "3 weeks"}, kExitRefused,
       "--duration: unknown duration unit \"weeks\" in \"3 weeks\" (use ms, s, m or h)"},
      {small(""), {"--seed", "0"}, kExitRefused, "--seed: must be from 1 to 4294967295, got \"0\""},
      {small(""), {"--set", "Nonsense Key=1"}, kExitRefused, "\"Nonsense Key\""},
      {small(""), {"--set", "Max Queue Size=2000000"}, kExitRefused, "\"Max Queue Size\": value \"2000000\" is out of range"},
      {small(""), {"--set", "Embed Data=maybe"}, kExitRefused, "\"Embed Data\""},
      {small(""), {"--frobnicate"}, kExitRefused, "--frobnicate"},
      // Built-in agents' settings, and agents the drive cannot serve.
      {small(flow("mode = \"zigzag\"\n")), {}, kExitRefused, "setting \"mode\" = \"zigzag\""},
      {small(flow("max_lba = 2048\n")), {}, kExitRefused, "\"max_lba\" 2048 is beyond the drive's last block 2047"},
      {small(flow("[[flow]]\nagent = \"zones\"\n")), {}, kExitRefused,
       "agent \"zones\" on drive D0: the drive is not zoned (give it a zone_size)"},
      {small(flow("[[flow]]\nagent = \"protect\"\n")), {}, kExitRefused,
       "agent \"protect\" on drive D0: the drive has no protection information"},
      {small(flow("[[flow]]\nagent = \"invalidate\"\nrate = 2\n")), {}, kExitRefused,
       "agent \"invalidate\": setting \"rate\" = \"2\" is not a probability above 0 and at most 1"},
      // Steps the device cannot perform.
      {small(flow("", "[[flow]]\ncommand = \"atomic\"\ncondition = \"write\"\n")), {}, kExitRefused,
       "drive D0: the flow writes atomically, but "},
      {small(flow("", "[[flow]]\ncommand = \"zonereset\"\ncondition = \"read\"\n")), {}, kExitRefused,
       "drive D0: the flow resets zones, but "},
      {std::string(kLimit) + "[[drive]]\ndevice = \"" + path("f.img") + "\"\ncapacity = \"1MiB\"\n" +
           flow("", "[[flow]]\ncommand = \"powertoggle\"\ncondition = \"write\"\n"),
       {}, kExitRefused, "power toggle needs the simulated drive: file " + path("f.img")},
  };

  for (size_t i = 0; i < table.size(); ++i) {
    const Row& row = table[i];
    SCOPED_TRACE("row " + std::to_string(i));
    std::vector<std::string> args = row.args;
    if (!row.file.empty() || row.args.empty() || row.args[0].rfind("--", 0) == 0)
      args.insert(args.begin(), file("bad" + std::to_string(i) + ".toml", row.file));
    for (const char* command : {"check", "run"}) {
      args.insert(args.begin(), command);
      expectRefused(args, row.status, row.named);
      args.erase(args.begin());
    }
  }
}

// What only `run`, `report` and `keys` take: the run's output files, the JSON a report is drawn
// from, an agent library.
TEST_F(BadInput, RunOutputsAndReportInputsAreRefusedNamingThem) {
  const std::string test = file("t.toml", small("")), notJson = file("t.json", "{\"drives\": 5}");
  const std::vector<std::vector<std::string>> table = {
      {"run", test, "--interval", "100ms", "--interval"},
      {"run", test, "--interval", "soon", "--interval"},
      {"run", test, "--series", path("absent/s.csv"), path("absent/s.csv")},
      {"run", test, "--report", path("absent/r.html"), path("absent/r.html")},
      {"run", test, "--json", path("absent/r.json"), "--json: cannot write " + path("absent/r.json")},
      {"report", path("missing.json"), path("missing.json")},
      {"report", notJson, notJson + ": not the JSON summary of a run"},
      {"keys", path("libnothere.so"), path("libnothere.so")},
      {"A subcommand is required"},
  };
  for (const std::vector<std::string>& row : table)
    expectRefused(std::vector<std::string>(row.begin(), row.end() - 1), kExitRefused, row.back());
  EXPECT_FALSE(std::filesystem::exists(path("absent")));
}

}  // namespace
}  // namespace varnox::cli
