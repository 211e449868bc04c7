#include "CommandLine.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <pthread.h>
#include <sstream>
#include <unistd.h>
#include <thread>

#include "AgentLibrary.h"
#include "AgentOutput.h"
#include "FlowCheck.h"
#include "Messages.h"
#include "OutputPaths.h"
#include "PlannedWrites.h"
#include "Progress.h"
#include "RunOptions.h"
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
  // The runner draws a fresh seed for every run unless the user fixed one; only a fixed seed
  // makes a rerun on a real device write the bytes the last run left there.
  bool seedFixed = options.seed.has_value() || planKey(plan, "Random Seed").has_value();
  for (const std::string& set : options.sets) seedFixed |= set.rfind("Random Seed=", 0) == 0;
  const bool applied = applyRunOptions(plan, options, repeat, error);
  if (applied) defaultLogFile(plan);
  if (!applied || !checkFlow(plan, error)) {
    err << "varnox: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  if (seedFixed) {
    const std::string randomSeed = planKey(plan, "Random Seed").value_or("");
    for (const DriveSpec& drive : plan.drives) {
      const std::string warning = blockdev::fixedSeedWarning(drive.device, randomSeed);
      if (!warning.empty()) err << "varnox: warning: " << escapeControl(warning) << '\n';
    }
  }
  resolveAgentLibraries(plan);
  return kExitPassed;
}

// Turns SIGINT and SIGTERM into TestRun::stop() for as long as it lives. The signals are
// blocked in every thread (the drive threads inherit the mask, so they must be blocked before
// the run starts them) and taken by a watcher thread: no handler, no global state.
class StopOnSignal {
 public:
  StopOnSignal() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
  }
  ~StopOnSignal() {
    done_ = true;
    if (watcher_.joinable()) watcher_.join();
    // Drop a signal that arrived after the run ended, then restore the caller's mask.
    timespec none{0, 0};
    while (sigtimedwait(&signals_, nullptr, &none) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  void watch(TestRun& run, std::ostream& err) {
    watcher_ = std::thread([this, &run, &err] {
      timespec tick{0, 100 * 1000 * 1000};
      while (!done_) {
        if (sigtimedwait(&signals_, nullptr, &tick) <= 0) continue;
        if (interrupted_.exchange(true)) {
          // A second Ctrl-C: the user gives up on a drive that does not stop.
          std::_Exit(130);
        }
        err << "\nvarnox: stopping after the current pass (Ctrl-C again to abandon the run)\n";
        run.stop();
      }
    });
  }
  bool interrupted() const { return interrupted_; }

 private:
  sigset_t signals_;
  sigset_t previous_;
  std::atomic<bool> done_{false};
  std::atomic<bool> interrupted_{false};
  std::thread watcher_;
};

int runCommand(const Arguments& args, const CLI::App& command, std::ostream& out, std::ostream& err) {
  TestPlan plan;
  RepeatInfo repeat;
  RunReport report;
  // The JSON file says "refused" with the reason whenever the run does not start, so that no
  // earlier result passes for this run's.
  auto writeJson = [&args, &err, &report](const RepeatInfo* repeatInfo, bool interrupted, bool sayWhy) {
    if (args.json.empty()) return true;
    std::string why;
    if (writeFileAtomically(args.json, summaryJson(SummaryInput{args.file, &report, repeatInfo, interrupted}), why))
      return true;
    if (sayWhy) err << "varnox: --json: " << escapeControl(why) << '\n';
    return false;
  };
  std::ostringstream planMessages;
  int status = buildPlan(args, command, plan, repeat, planMessages);
  err << planMessages.str();
  if (status == kExitPassed) {
    if (std::string why = unwritableOutput(plan, args.json); !why.empty()) {
      err << "varnox: " << escapeControl(why) << '\n';
      planMessages.str("varnox: " + why + "\n");
      status = kExitRefused;
    }
  }
  if (status != kExitPassed) {
    report.exitStatus = status;
    report.error = planMessages.str();
    if (report.error.rfind("varnox: ", 0) == 0) report.error.erase(0, 8);
    while (!report.error.empty() && report.error.back() == '\n') report.error.pop_back();
    writeJson(nullptr, false, false);  // an unwritable JSON file was named above
    return status;
  }
  // Whatever ends this run, a second Ctrl-C included, the last run's result must not be left
  // standing as if it were this one's.
  if (!args.json.empty()) ::unlink(args.json.c_str());

  // The run outlives the signal watcher, which may call run.stop() until it is joined.
  TestRun run;
  StopOnSignal signals;
  std::string error;
  status = run.prepare(plan, error);
  if (status != kExitPassed) {
    err << "varnox: " << escapeControl(error) << '\n';
    report.exitStatus = status;
    report.error = error;
  } else {
    signals.watch(run, err);
    // What the agents print goes to the log, never between the progress line and the summary.
    AgentOutput agentOutput(run.logSink(), plan.drives.size() == 1 ? plan.drives[0].name : "agent");
    ProgressLine progress(agentOutput.terminal());
    report = run.run([&progress](const std::vector<const DriveProgress*>& drives) { progress.update(drives); });
    progress.finish();
    agentOutput.stop();
    SummaryInput summary{args.file, &report, &repeat, signals.interrupted()};
    countLogLines(summary, plan.logFile, agentOutput.warnings(), agentOutput.errors());
    out << summaryText(summary);
  }
  if (!writeJson(status == kExitPassed ? &repeat : nullptr, signals.interrupted(), true) &&
      report.exitStatus == kExitPassed)
    return kExitRefused;
  return report.exitStatus;
}

int checkCommand(const Arguments& args, const CLI::App& command, std::ostream& out, std::ostream& err) {
  TestPlan plan;
  RepeatInfo repeat;
  int status = buildPlan(args, command, plan, repeat, err);
  if (status != kExitPassed) return status;
  std::string error = unwritableOutput(plan, "");
  if (!error.empty()) {
    err << "varnox: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  // A check writes nothing anywhere: it says what the run would create or fill instead.
  const std::vector<std::string> wouldWrite = plannedWrites(plan);
  plan.logFile.clear();
  for (DriveSpec& drive : plan.drives) drive.device.checkOnly = true;
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
  for (const std::string& line : wouldWrite) out << "  " << escapeControl(line) << '\n';
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
  Arguments args;

  // The library reads "-1" into an unsigned option as 18446744073709551615: a pass count of
  // almost forever. Counts and seeds are written in decimal digits only.
  const CLI::Validator digitsOnly(
      [](std::string& text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos
                   ? std::string()
                   : "expected a whole number, got \"" + text + "\"";
      },
      "NUMBER");
  // run and check take the same test options, so that check refuses what run would refuse.
  auto addTestOptions = [&args, &digitsOnly](CLI::App* command) {
    command->add_option("file", args.file, "The test file (TOML)")->required();
    CLI::Option* duration =
        command->add_option("--duration", args.duration, "Run this long: 30s, 5m, 1h (replaces the file's limit)");
    CLI::Option* passes =
        command->add_option("--passes", args.passes, "Run this many passes per drive (replaces the file's limit)")
            ->check(digitsOnly);
    duration->excludes(passes);
    command->add_option("--seed", args.seed, "Seed of the simulated drives, and \"Random Seed\" unless the file sets it")
        ->check(digitsOnly);
    command->add_option("--set", args.sets, "Set an agent key: --set \"Max Queue Size=512\" (repeatable)")
        ->allow_extra_args(false);
    command->add_option("--output", args.output, "Base of the output files when \"Miscompare Output Path\" is not set");
    command->add_flag("--force", args.force,
                      "With a drive's destroy_data = true, write over a file or block device that carries a signature");
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
