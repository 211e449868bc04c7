// Test files read into plans, and what the command line's options add to them: the cases are
// tests/runner/cases/plans.txt, whose top says what its blocks mean.
#include "TestFile.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "RunOptions.h"
#include "Units.h"
#include "runner/CaseFile.h"

namespace varnox::cli {
namespace {

using namespace varnox::testing;

template <typename T>
std::string text(const T& value) {
  std::ostringstream s;
  s << value;
  return s.str();
}

// Every field a test file or an option can set, a line per drive, fault rule, step and key.
std::string describe(const TestPlan& p) {
  static const char* const kinds[] = {"agent",       "write",     "writesame",  "trim",
                                      "atomic",      "read",      "verify",     "synccache",
                                      "powertoggle", "zonereset", "invalidate", "getstatus"};
  auto opt = [](const auto& v) { return v ? text(*v) : "-"; };
  std::ostringstream s;
  s << "test " << p.sourceFile << " passes " << p.passes << " duration " << p.durationSeconds << " output "
    << p.outputBase << " log " << p.logFile << " timeout " << p.commandTimeoutSeconds << " errors "
    << p.maxDeviceErrors << "\n";
  for (const DriveSpec& d : p.drives) {
    const DeviceSpec& v = d.device;
    s << "drive " << d.name << " " << v.kind << " " << v.capacityBlocks << " x " << v.logicalBlockSize
      << " pi " << v.protectionInfo << " exponent " << v.log2LogicalPerPhysical << " depth " << v.queueDepth
      << " shuffled " << v.shuffleCompletions << " cache " << v.writeCache << " atomic " << v.atomicUnitBlocks
      << " zone " << v.zoneBlocks << " " << v.zoneModel << " seed " << v.seed << " direct " << v.directIo
      << " destroy " << v.destroyData << " force " << v.force << " precondition " << v.precondition << "\n";
    auto argv = [](const std::vector<std::string>& args) {
      std::string text;
      for (const std::string& a : args) text += (text.empty() ? "" : " ") + ("'" + a + "'");
      return text;
    };
    if (!v.powerOff.empty() || !v.powerOn.empty())
      s << "  power off " << argv(v.powerOff) << " on " << argv(v.powerOn) << " settle "
        << v.powerSettleSeconds << " timeout " << v.powerTimeoutSeconds << "\n";
    for (const FaultRule& f : v.faults)
      s << "  fault " << f.kind << " lba " << opt(f.lba) << " after " << opt(f.after) << " rate "
        << opt(f.rate) << " count " << f.count << " delay " << f.delaySeconds << "\n";
  }
  for (const StepSpec& step : p.flow) {
    s << "step " << kinds[static_cast<int>(step.kind)] << " \"" << step.name << "\" if \"" << step.condition
      << "\"";
    for (const auto& [key, value] : step.settings) s << " " << key << "=" << value;
    s << "\n";
  }
  for (const auto& [key, value] : p.keys) s << "key \"" << key << "\" = " << value << "\n";
  return s.str();
}

RunOptions options(const std::string& line) {
  RunOptions o;
  const std::vector<std::string> a = splitArgs(line);
  for (size_t i = 0; i < a.size(); ++i) {
    const std::string& name = a[i];
    if (name == "--force") {
      o.force = true;
      continue;
    }
    // An option not known here is dropped, so the expected repeat command tells.
    const std::string& value = a.at(++i);
    if (name == "--seed") o.seed = std::stoull(value);
    if (name == "--passes") o.passes = std::stoull(value);
    if (name == "--duration") o.duration = value;
    if (name == "--set") o.sets.push_back(value);
    if (name == "--output") o.outputBase = value;
  }
  return o;
}

// A value of Units, or "refused".
std::string unit(const std::string& kind, const std::string& input) {
  std::string error;
  auto shown = [](const auto& v) { return v ? text(*v) : "refused"; };
  if (kind == "duration") return shown(parseDuration(input, error));
  if (kind == "size") return shown(parseSize(input, error));
  if (kind == "bytes") return formatBytes(std::stoull(input));
  return formatDuration(std::stod(input));
}

TEST(TestFile, EveryCaseReadsAsItsFileSays) {
  for (const Case& c : readCases(casePath("plans.txt"))) {
    SCOPED_TRACE(c.name);
    TestPlan plan;
    RepeatInfo repeat;
    std::optional<RunOptions> given;
    std::string error;
    bool ok = true;
    for (const CaseBlock& b : c.blocks) {
      if (b.key == "toml") {
        plan.passes = 7;
        ok = parseTestFile(b.body, "t.toml", plan, error);
        EXPECT_TRUE(ok || (plan.drives.empty() && plan.passes == 0))
            << "a refused file leaves no half-filled plan";
      } else if (b.key == "options") {
        given = options(b.arg);
        ok = ok && applyRunOptions(plan, *given, repeat, error);
      } else if (b.key == "error") {
        const std::string want = b.body.substr(0, b.body.size() - 1);
        EXPECT_FALSE(ok);
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        if (want.ends_with(" ..."))
          EXPECT_TRUE(error.starts_with(want.substr(0, want.size() - 4))) << error;
        else
          EXPECT_EQ(error, want);
      } else if (b.key == "plan") {
        ASSERT_TRUE(ok) << error;
        std::string got = describe(plan);
        if (given) {
          got += "repeat seed " + std::to_string(repeat.seed) + " random " + repeat.randomSeed.value_or("-") +
                 " fixed " + std::to_string(repeat.seedFixed) + "\n" + repeat.commandLine + "\n";
          EXPECT_LE(repeat.seed, UINT32_MAX);  // what --seed takes back
          if (!given->seed)
            got = std::regex_replace(got, std::regex("\\b" + std::to_string(repeat.seed) + "\\b"), "{seed}");
        }
        EXPECT_EQ(got, b.body);
      } else if (b.key == "units") {
        for (const std::string& line : bodyLines(b.body)) {
          const std::vector<std::string> f = splitArgs(line);
          EXPECT_EQ(unit(f.at(0), f.at(1)), f.at(2)) << line;
        }
      } else {
        ADD_FAILURE() << "unknown block " << b.key;
      }
    }
  }
}

}  // namespace
}  // namespace varnox::cli
