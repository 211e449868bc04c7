#include "CommandLine.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "AgentLibrary.h"
#include "HelpText.h"
#include "Messages.h"
#include "OutputDirectory.h"
#include "Progress.h"
#include "RunDetails.h"
#include "RunOptions.h"
#include "StopOnSignal.h"
#include "Summary.h"
#include "TestFile.h"
#include "blockdev/Precondition.h"
#include "varnox/TestRun.h"

namespace varnox::cli {
namespace {

struct Arguments {
  std::string file;
  std::string agent = "cardamor";
  std::string duration;
  uint64_t passes = 0;
  uint64_t seed = 0;
  std::vector<std::string> sets;
  std::string output;
  std::string json;
  bool force = false;
  std::string commandLine;  // as typed, for the JSON summary
};

// Reads the file and applies the options: the plan is ready for TestRun::prepare.
int buildPlan(const Arguments& args, const CLI::App& command, TestPlan& plan, RepeatInfo& repeat, std::ostream& err) {
  std::string error;
  // A folder opens like a file and reads as empty, which would pass for a file without a limit.
  std::error_code ec;
  if (std::filesystem::is_directory(args.file, ec)) {
    err << "varnox: " << escapeControl(args.file) << ": cannot read the test file: it is a directory\n";
    return kExitRefused;
  }
  if (!loadTestFile(args.file, plan, error)) {
    err << "varnox: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  RunOptions options;
  if (command.count("--duration") > 0) options.duration = args.duration;
  if (command.count("--passes") > 0) options.passes = args.passes;
  if (command.count("--seed") > 0) options.seed = args.seed;
  if (command.count("--output") > 0) options.outputBase = args.output;
  options.sets = args.sets;
  options.force = args.force;
  if (!applyRunOptions(plan, options, repeat, error)) {
    err << "varnox: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  // The runner draws a fresh seed for every run unless the user fixed one; only a fixed seed
  // makes a rerun on a real device write the bytes the last run left there.
  if (repeat.seedFixed) {
    const std::string randomSeed = planKey(plan, "Random Seed").value_or("");
    for (const DriveSpec& drive : plan.drives) {
      const std::string warning = blockdev::fixedSeedWarning(drive.device, randomSeed);
      if (!warning.empty()) err << "varnox: warning: " << escapeControl(warning) << '\n';
    }
  }
  resolveAgentLibraries(plan);
  return kExitPassed;
}

int runCommand(const Arguments& args, const CLI::App& command, std::ostream& out, std::ostream& err) {
  TestPlan plan;
  RepeatInfo repeat;
  int status = buildPlan(args, command, plan, repeat, err);
  if (status != kExitPassed) return status;

  // Open the JSON file first: a run whose result cannot be stored is refused before it starts.
  std::unique_ptr<std::ofstream> json;
  if (!args.json.empty()) {
    json = std::make_unique<std::ofstream>(args.json, std::ios::trunc);
    if (!*json) {
      err << "varnox: --json: cannot write " << escapeControl(args.json) << ": " << std::strerror(errno) << '\n';
      return kExitRefused;
    }
  }

  // Failure files go where the user asked, so a missing directory is made now, and said so.
  std::string created, error;
  if (!plan.outputBase.empty() && !makeOutputDirectory(plan.outputBase, created, error)) {
    err << "varnox: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  if (!created.empty()) err << "varnox: created the output directory " << escapeControl(created) << '\n';

  RunDetails details{versionText(), utcTimestamp(std::chrono::system_clock::now()), "", hostName(), args.commandLine};
  // The run outlives the signal watcher, which may call run.stop() until it is joined.
  TestRun run;
  StopOnSignal signals;
  RunReport report;
  int stopSignal = 0;
  PreconditionLine precondition(stderr, err);
  run.setPreconditionProgress([&precondition](const std::string& drive, uint64_t done, uint64_t total) {
    precondition.update(drive, done, total);
  });
  status = run.prepare(plan, error);
  if (status != kExitPassed) {
    err << "varnox: " << escapeControl(error) << '\n';
    report.exitStatus = status;
    report.error = error;
  } else {
    signals.watch(run, err);
    std::vector<std::string> names;
    for (const DriveSpec& drive : plan.drives) names.push_back(drive.name);
    ProgressLine progress(stderr, names);
    report = run.run([&progress](const std::vector<const DriveProgress*>& drives) { progress.update(drives); });
    progress.finish();
    // A run a signal cut short never reads as passed.
    if (signals.signal() != 0 && stoppedBeforeLimit(report, plan)) {
      stopSignal = signals.signal();
      report.exitStatus = exitStatusAfterSignal(report.exitStatus, stopSignal);
    }
    out << summaryText({args.file, &report, &repeat, stopSignal});
  }
  details.endTime = utcTimestamp(std::chrono::system_clock::now());
  if (json) {
    SummaryInput summary{args.file, &report, status == kExitPassed ? &repeat : nullptr, stopSignal, &details};
    *json << summaryJson(summary);
    json->flush();
    if (!*json) {
      err << "varnox: --json: cannot write " << escapeControl(args.json) << '\n';
      if (report.exitStatus == kExitPassed) return kExitRefused;
    }
  }
  return report.exitStatus;
}

int checkCommand(const Arguments& args, const CLI::App& command, std::ostream& out, std::ostream& err) {
  TestPlan plan;
  RepeatInfo repeat;
  int status = buildPlan(args, command, plan, repeat, err);
  if (status != kExitPassed) return status;
  std::string error;
  {
    TestRun run;  // prepared, never run: destroying it releases agents and devices
    status = run.prepare(plan, error);
  }
  if (status != kExitPassed) {
    err << "varnox: " << escapeControl(error) << '\n';
    return status;
  }
  out << args.file << ": OK, " << plan.drives.size() << (plan.drives.size() == 1 ? " drive, " : " drives, ")
      << plan.flow.size() << " flow steps\n";
  return kExitPassed;
}

int describeCommand(const Arguments& args, bool usage, std::ostream& out, std::ostream& err) {
  std::string usageText, keysText, error;
  int status = TestRun::describeAgent(agentLibrary(args.agent), usageText, keysText, error);
  if (status != kExitPassed) {
    err << "varnox: " << escapeControl(error.empty() ? "cannot load agent " + args.agent : error) << '\n';
    return status;
  }
  const std::string& text = usage ? usageText : keysText;
  out << text << (text.empty() || text.back() != '\n' ? "\n" : "");
  return kExitPassed;
}

}  // namespace

int runVarnox(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"varnox: data-integrity tests of block storage, on a simulated drive, a file or a block device"};
  app.name("varnox");
  app.require_subcommand(1, 1);
  app.set_version_flag("--version", versionText(), "Print the version and the source revision, and exit");
  app.footer(exitStatusHelp());
  Arguments args;
  args.commandLine = commandLineText(argc, argv);

  // The library reads "-1" into an unsigned option as 18446744073709551615 and a number beyond
  // 64 bits as the largest one: a pass count of almost forever. Counts and seeds are decimal
  // digits, refused with the value as given when they are out of range.
  auto wholeNumber = [](uint64_t min, uint64_t max) {
    return CLI::Validator(
        [min, max](std::string& text) {
          uint64_t value = 0;
          const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
          const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
          if (digits && ec == std::errc() && end == text.data() + text.size() && value >= min && value <= max)
            return std::string();
          return (digits ? "must be from " + std::to_string(min) + " to " + std::to_string(max)
                         : std::string("expected a whole number")) +
                 ", got \"" + text + "\"";
        },
        "NUMBER");
  };
  // run and check take the same test options, so that check refuses what run would refuse.
  auto addTestOptions = [&args, &wholeNumber](CLI::App* command) {
    command->add_option("file", args.file, "The test file (TOML)")->required();
    CLI::Option* duration =
        command->add_option("--duration", args.duration, "Run this long: 30s, 5m, 1h (replaces the file's limit)");
    CLI::Option* passes =
        command->add_option("--passes", args.passes, "Run this many passes per drive (replaces the file's limit)")
            ->check(wholeNumber(1, UINT64_MAX));
    duration->excludes(passes);
    command->add_option("--seed", args.seed, "Seed of the drives, and \"Random Seed\" unless the file sets it (1 to 4294967295)")
        ->check(wholeNumber(1, UINT32_MAX));
    command->add_option("--set", args.sets, "Set an agent key: --set \"Max Queue Size=512\" (repeatable)")
        ->allow_extra_args(false);
    command->add_option("--output", args.output, "Base of the output files when \"Miscompare Output Path\" is not set");
    command->add_flag("--force", args.force,
                      "With a drive's destroy_data = true, write over a block device that carries a signature");
  };
  CLI::App* run = app.add_subcommand("run", "Run a test file");
  addTestOptions(run);
  run->add_option("--json", args.json, "Write the summary as JSON to this file");
  CLI::App* check = app.add_subcommand("check", "Validate a test file without running it");
  addTestOptions(check);

  CLI::App* keys = app.add_subcommand("keys", "List the agent's configuration keys with defaults, ranges and help");
  keys->add_option("agent", args.agent, "Agent name or library path (default cardamor)");
  CLI::App* usage = app.add_subcommand("usage", "Show the agent's usage text");
  usage->add_option("agent", args.agent, "Agent name or library path (default cardamor)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e, out, err);
  } catch (const CLI::ParseError& e) {
    err << "varnox: " << escapeControl(e.what()) << "\nRun 'varnox --help' or 'varnox COMMAND --help' for the options.\n";
    return kExitRefused;
  }

  if (run->parsed()) return runCommand(args, *run, out, err);
  if (check->parsed()) return checkCommand(args, *check, out, err);
  if (keys->parsed()) return describeCommand(args, false, out, err);
  return describeCommand(args, true, out, err);
}

}  // namespace varnox::cli
