#pragma once
// What the command line adds to a test file: limits, seeds, key overrides, the output base.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "varnox/TestPlan.h"

namespace varnox::cli {

struct RunOptions {
  std::optional<std::string> duration;  // "30s"; replaces the file's limits
  std::optional<uint64_t> passes;       // replaces the file's limits
  std::optional<uint64_t> seed;         // simulated drives' seed, and "Random Seed" unless the file sets it
  std::vector<std::string> sets;        // "KEY=VALUE", applied after the file's keys
  std::optional<std::string> outputBase;
  std::optional<std::string> device;  // --device: already in the plan; repeated in the repeat line
  bool force = false;  // with a drive's destroy_data, a block device with a signature may be written
  std::optional<std::string> journal;   // --journal DIR: replaces the file's journal folder
};

// What it takes to run the same test again.
struct RepeatInfo {
  uint64_t seed = 0;                  // given with --seed or drawn by the runner
  std::optional<std::string> randomSeed;  // the agent's "Random Seed" as the plan sets it
  std::string commandLine;            // "varnox run FILE --seed N ..."
  bool seedFixed = false;             // --seed, the file or --set fixed "Random Seed": reruns write the same data
};

// Applies `options` to `plan`. A run needs a limit, so a plan with neither a duration nor a
// pass count is refused here. Drives without a seed of their own (all of them with --seed) get
// `seed`, or one drawn now, so that every run can be repeated; the agent's "Random Seed" gets
// the same number unless the file or --set gives it. The output base (file or --output) becomes
// Cardamor's "Miscompare Output Path" unless that key is set. Blocks above 4 KiB get a smaller
// default "Bucket Count" (see largeBlockBucketCount). False with `error` naming the option or key.
bool applyRunOptions(TestPlan& plan, const RunOptions& options, RepeatInfo& repeat, std::string& error);

// The "Bucket Count" Cardamor gets when the plan does not set it and a simulated drive or file
// has blocks above 4 KiB: its table of pre-generated blocks stays at the 256 MiB the default
// 65536 buckets take at 4 KiB (and within the agent's 32-bit table). None when the default fits.
std::optional<uint32_t> largeBlockBucketCount(const TestPlan& plan);

// The value of an agent key in the plan (the last one set wins), if set.
std::optional<std::string> planKey(const TestPlan& plan, const std::string& key);

}  // namespace varnox::cli
