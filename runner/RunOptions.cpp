#include "RunOptions.h"

#include <algorithm>
#include <random>
#include <sstream>

#include "Messages.h"
#include "Units.h"

namespace varnox::cli {
namespace {

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

uint32_t drawSeed() {
  std::random_device device;
  uint32_t seed = 0;
  while (seed == 0) seed = device();
  return seed;
}

}  // namespace

std::optional<uint32_t> largeBlockBucketCount(const TestPlan& plan) {
  constexpr uint64_t kTableBytes = 65536ull * 4096;
  uint64_t largest = 0;
  for (const DriveSpec& drive : plan.drives) largest = std::max<uint64_t>(largest, drive.device.logicalBlockSize);
  if (largest <= 4096) return std::nullopt;
  return static_cast<uint32_t>(kTableBytes / largest);
}

std::optional<std::string> planKey(const TestPlan& plan, const std::string& key) {
  std::optional<std::string> value;
  for (const auto& [k, v] : plan.keys)
    if (k == key) value = v;
  return value;
}

bool applyRunOptions(TestPlan& plan, const RunOptions& options, RepeatInfo& repeat, std::string& error) {
  std::string file = plan.sourceFile.empty() ? "the test" : plan.sourceFile;
  if (options.duration && options.passes) {
    error = "--duration and --passes cannot both be given";
    return false;
  }
  if (options.duration) {
    std::string why;
    auto seconds = parseDuration(*options.duration, why);
    if (!seconds || *seconds <= 0) {
      error = "--duration: " + (seconds ? "must be longer than 0 s, got " + quoted(*options.duration) : why);
      return false;
    }
    plan.durationSeconds = *seconds;
    plan.passes = 0;
  }
  if (options.passes) {
    if (*options.passes == 0) {
      error = "--passes: must be at least 1, got 0";
      return false;
    }
    plan.passes = *options.passes;
    plan.durationSeconds = 0;
  }
  if (plan.passes == 0 && plan.durationSeconds <= 0) {
    error = file + ": [test]: set \"duration\" or \"passes\" (or give --duration or --passes)";
    return false;
  }
  // The drives time themselves in 64-bit nanoseconds, which hold 584 years. A century is
  // beyond any soak test, so a longer duration is a typo rather than a wish to run forever.
  constexpr double kMaxDurationSeconds = 100.0 * 365 * 24 * 3600;
  if (plan.durationSeconds > kMaxDurationSeconds) {
    std::ostringstream got;
    if (options.duration) got << quoted(*options.duration);
    else got << plan.durationSeconds << " s";
    error = (options.duration ? "--duration:" : file + ": [test]: \"duration\"") +
            std::string(" must be at most 100 years (876000h), got ") + got.str();
    return false;
  }
  // "Random Seed" is a 32-bit key; one number for both keeps the repeat line short.
  if (options.seed && (*options.seed == 0 || *options.seed > UINT32_MAX)) {
    error = "--seed: must be from 1 to 4294967295, got " + std::to_string(*options.seed);
    return false;
  }

  for (const std::string& set : options.sets) {
    size_t eq = set.find('=');
    std::string key = eq == std::string::npos ? "" : trim(set.substr(0, eq));
    if (key.empty()) {
      error = "--set: expected KEY=VALUE, e.g. --set \"Max Queue Size=512\", got " + quoted(set);
      return false;
    }
    plan.keys.emplace_back(key, trim(set.substr(eq + 1)));
  }
  if (options.outputBase) plan.outputBase = *options.outputBase;
  if (options.journal) {
    if (options.journal->empty()) {
      error = "--journal: needs a folder";
      return false;
    }
    plan.journalDir = *options.journal;
  }
  // Cardamor names its output files after "Miscompare Output Path"; the base given here is only
  // its default, so a key set in the file or with --set still wins.
  bool hasCardamor = false;
  for (const StepSpec& step : plan.flow) hasCardamor |= step.kind == StepSpec::Kind::Agent && step.name == "cardamor";
  if (hasCardamor && !plan.outputBase.empty() && !planKey(plan, "Miscompare Output Path"))
    plan.keys.emplace_back("Miscompare Output Path", plan.outputBase);

  if (hasCardamor && !planKey(plan, "Bucket Count"))
    if (const auto buckets = largeBlockBucketCount(plan)) plan.keys.emplace_back("Bucket Count", std::to_string(*buckets));

  for (DriveSpec& drive : plan.drives) drive.device.force = options.force;

  // Every drive, files and block devices as well, takes the one seed the repeat line gives.
  repeat.seed = options.seed ? *options.seed : drawSeed();
  for (DriveSpec& drive : plan.drives)
    if (options.seed || drive.device.seed == 0) drive.device.seed = repeat.seed;
  repeat.seedFixed = options.seed.has_value() || planKey(plan, "Random Seed").has_value();
  if (!planKey(plan, "Random Seed")) plan.keys.emplace_back("Random Seed", std::to_string(repeat.seed));
  repeat.randomSeed = planKey(plan, "Random Seed");

  std::string line = "varnox run " + shellWord(plan.sourceFile) + " --seed " + std::to_string(repeat.seed);
  if (options.device) line += " --device " + shellWord(*options.device);
  if (options.duration) line += " --duration " + shellWord(*options.duration);
  if (options.passes) line += " --passes " + std::to_string(*options.passes);
  for (const std::string& set : options.sets) line += " --set " + shellWord(set);
  if (options.outputBase) line += " --output " + shellWord(*options.outputBase);
  if (options.force) line += " --force";
  if (options.journal) line += " --journal " + shellWord(*options.journal);
  repeat.commandLine = line;
  return true;
}

}  // namespace varnox::cli
