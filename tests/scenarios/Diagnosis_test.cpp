// Every class of failure diagnosis, produced by the simulated drive's faults and run the way
// `varnox run` runs a test, over a sweep of seeds: the summary's diagnosis line and the JSON name
// a block the fault hit with an allowed class, the data files hold that block, and no data file
// is empty. Cases are the files of tests/scenarios/diagnosis:
//
//   [expect]
//   classes = ["misdirected", "stale"]  # allowed classes
//   required = "misdirected"            # must turn up in the sweep (default: the first class)
//   failure = "verify"                  # what failed (default: any)
//   exit = 0 / dump = "..."             # a passing run whose kept dump says this
//   may_pass = true                     # a seed may pass: the fault can be overwritten unread
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <toml++/toml.h>

#include "AgentOutput.h"
#include "OutputPaths.h"
#include "RunOptions.h"
#include "Summary.h"
#include "TestFile.h"

namespace varnox::scenarios {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kSeeds = 8;

using Bytes = std::vector<uint8_t>;
Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
uint64_t bigEndian(const Bytes& b, size_t at, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n && at + i < b.size(); ++i) v = v << 8 | b[at + i];
  return v;
}
uint64_t embeddedLba(const Bytes& b) { return bigEndian(b, 8, 8); }
uint64_t embeddedCmdId(const Bytes& b) { return b.size() > 16 ? bigEndian(b, 17, std::min<size_t>(b[16], 8)) : 0; }
uint64_t number(const std::map<std::string, std::string>& keys, const char* key) {
  auto it = keys.find(key);
  return it == keys.end() ? 0 : std::stoull(it->second);
}

// The fault's blocks: the block it hit, where a misdirected block landed, a whole torn command.
bool hits(const InjectedFault& f, uint64_t lba) {
  if (f.kind == "splice" || f.kind == "torn-atomic") return lba >= f.firstLba && lba < f.firstLba + f.blocks;
  return lba == f.lba || (f.kind == "misdirect" && lba == f.landedAt);
}

struct Outcome {
  RunReport report;
  std::string summary, json, log;
};

Outcome runCase(const std::string& path, uint64_t seed, const fs::path& dir) {
  Outcome out;
  TestPlan plan;
  std::string error;
  EXPECT_TRUE(cli::loadTestFile(path, plan, error)) << error;
  cli::RunOptions options;
  options.seed = seed;
  options.outputBase = (dir / "run").string();
  cli::RepeatInfo repeat;
  EXPECT_TRUE(cli::applyRunOptions(plan, options, repeat, error)) << error;
  cli::defaultLogFile(plan);
  TestRun run;
  if (run.prepare(plan, error) != kExitPassed) {
    ADD_FAILURE() << error;
    return out;
  }
  cli::AgentOutput agentOutput(run.logSink(), plan.drives[0].name);
  out.report = run.run();
  agentOutput.stop();
  cli::SummaryInput summary{path, &out.report, &repeat, false};
  cli::countLogLines(summary, plan.logFile, agentOutput.warnings(), agentOutput.errors());
  out.summary = cli::summaryText(summary);
  out.json = cli::summaryJson(summary);
  std::ifstream log(plan.logFile);
  out.log.assign(std::istreambuf_iterator<char>(log), {});
  return out;
}

// What the drive's file shows for each class, against the reference and the fault.
void checkFiles(const std::string& kind, const std::map<std::string, std::string>& d, const InjectedFault& f,
                const Bytes& drive, const Bytes& reference, bool embedded) {
  const uint64_t lba = number(d, "lba");
  if (kind == "corrupted") {
    size_t differing = 0;
    for (size_t i = 0; i < drive.size(); ++i) differing += drive[i] != reference[i];
    EXPECT_EQ(differing, number(d, "bytes"));
    const size_t at = number(d, "offset");
    ASSERT_LT(at, drive.size());
    EXPECT_NE(drive[at], reference[at]);
    EXPECT_TRUE(std::equal(drive.begin(), drive.begin() + at, reference.begin()));
    if (f.kind == "corrupt") {
      EXPECT_EQ(drive[at] ^ reference[at], f.xorMask);
    }
  } else if (kind == "lost") {
    EXPECT_TRUE(std::all_of(drive.begin(), drive.end(), [](uint8_t b) { return b == 0; }));
  } else if (kind == "stale" && !embedded) {
    EXPECT_NE(drive, reference);
  } else if (kind == "stale") {
    EXPECT_EQ(embeddedLba(drive), lba);
    EXPECT_EQ(embeddedCmdId(drive), number(d, "foundCmdId"));
    EXPECT_LT(embeddedCmdId(drive), embeddedCmdId(reference));
  } else if (kind == "misdirected") {
    EXPECT_EQ(embeddedLba(drive), number(d, "foundLba"));
    EXPECT_EQ(number(d, "foundLba"), f.lba) << "the block should carry the LBA it was written for";
  } else if (kind == "torn") {
    EXPECT_EQ(embeddedCmdId(drive), number(d, "foundCmdId"));
    EXPECT_EQ(embeddedCmdId(reference), number(d, "expectedCmdId"));
    EXPECT_LT(number(d, "foundCmdId"), number(d, "expectedCmdId"));
  } else {
    EXPECT_NE(drive, reference);
  }
}

class Diagnosis : public ::testing::TestWithParam<std::string> {};

TEST_P(Diagnosis, NamesTheBlockItsClassAndHoldsItInTheDataFiles) {
  const std::string path = GetParam();
  const toml::table root = toml::parse_file(path);
  const toml::node_view expect = root["expect"];
  std::set<std::string> classes;
  std::string required = expect["required"].value_or(std::string{});
  if (const toml::array* list = expect["classes"].as_array()) {
    for (const toml::node& c : *list) classes.insert(c.value_or(std::string{}));
    if (required.empty() && !list->empty()) required = (*list)[0].value_or(std::string{});
  }
  const std::string failure = expect["failure"].value_or(std::string{});
  const std::string dump = expect["dump"].value_or(std::string{});
  const int64_t wantExit = expect["exit"].value_or(int64_t{1});
  const bool mayPass = expect["may_pass"].value_or(false);

  std::set<std::string> seen;
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    SCOPED_TRACE(fs::path(path).filename().string() + " --seed " + std::to_string(seed));
    const fs::path dir = fs::temp_directory_path() / ("varnox-diagnosis-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const Outcome r = runCase(path, seed, dir);
    ASSERT_EQ(r.report.drives.size(), 1u);
    const DriveReport& d = r.report.drives[0];
    if (mayPass && r.report.exitStatus == kExitPassed) continue;
    ASSERT_EQ(r.report.exitStatus, wantExit) << r.summary;
    // The summary ends with the log, whose warning and error lines it counts.
    EXPECT_NE(r.summary.find("\nLog: " + (dir / "run.log").string() + " ("), std::string::npos) << r.summary;
    EXPECT_EQ(r.summary.back(), '\n');
    EXPECT_EQ(r.summary.find('\n', r.summary.rfind("\nLog: ") + 1), r.summary.size() - 1);
    for (const std::string& file : d.outputFiles) EXPECT_GT(fs::file_size(file), 0u) << file;
    if (wantExit == 0) {
      EXPECT_NE(r.summary.find("  dump kept     "), std::string::npos) << r.summary;
      EXPECT_NE(r.summary.find(dump), std::string::npos) << r.summary;
      continue;
    }
    const std::map<std::string, std::string>& k = d.diagnosis;
    ASSERT_TRUE(k.count("class") && k.count("lba")) << r.summary;
    const std::string kind = k.at("class");
    const uint64_t lba = number(k, "lba");
    seen.insert(kind);
    EXPECT_TRUE(classes.count(kind)) << kind << "\n" << r.summary;
    if (!failure.empty()) {
      EXPECT_EQ(k.at("failure"), failure);
    }
    char line[96];
    std::snprintf(line, sizeof line, "  diagnosis     %s at LBA 0x%016" PRIX64 " (", kind.c_str(), lba);
    EXPECT_NE(r.summary.find(line), std::string::npos) << r.summary;
    EXPECT_NE(r.json.find("\"class\": \"" + kind + "\", \"lba\": " + std::to_string(lba) + ","), std::string::npos)
        << r.json;
    const InjectedFault* culprit = nullptr;
    for (const InjectedFault& f : d.injectedFaults)
      if (hits(f, lba)) culprit = &f;
    ASSERT_NE(culprit, nullptr) << "no fault hit the block named: " << r.summary;
    if (culprit->kind == "torn-atomic") {
      EXPECT_NE(r.log.find(" D0 E atomic data ordering failure lba:"), std::string::npos) << "agent output not logged";
    }

    if (culprit->kind == "splice") {
      EXPECT_EQ(k.count("driveFile") + k.count("referenceFile"), 0u);
      EXPECT_NE(r.summary.find("  data files    no drive file: "), std::string::npos) << r.summary;
      continue;
    }
    ASSERT_TRUE(k.count("driveFile") && k.count("referenceFile")) << r.summary;
    EXPECT_NE(r.json.find("\"drive\": \"" + k.at("driveFile") + "\""), std::string::npos);
    const Bytes drive = readBytes(k.at("driveFile")), reference = readBytes(k.at("referenceFile"));
    const uint32_t blockSize = root["drive"][0]["block_size"].value_or(512u);
    ASSERT_EQ(drive.size(), blockSize);
    ASSERT_EQ(reference.size(), blockSize);
    checkFiles(kind, k, *culprit, drive, reference, root["cardamor"]["Embed Data"].value_or(true));
  }
  if (wantExit != 0) {
    EXPECT_TRUE(seen.count(required)) << required << " never came up in " << kSeeds << " seeds";
  }
  fs::remove_all(fs::temp_directory_path() / ("varnox-diagnosis-" + std::to_string(::getpid())));
}

std::vector<std::string> caseFiles() {
  std::vector<std::string> files;
  for (const fs::directory_entry& e : fs::directory_iterator(std::string(VARNOX_SOURCE_DIR) + "/tests/scenarios/diagnosis"))
    if (e.path().extension() == ".toml") files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

INSTANTIATE_TEST_SUITE_P(Cases, Diagnosis, ::testing::ValuesIn(caseFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = fs::path(info.param).stem().string();
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
}  // namespace varnox::scenarios
