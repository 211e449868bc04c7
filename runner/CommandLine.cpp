#include "CommandLine.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "AgentLibrary.h"
#include "AgentOutput.h"
#include "CampaignCommand.h"
#include "FinalOutputs.h"
#include "FlowCheck.h"
#include "HelpText.h"
#include "HistoryCommand.h"
#include "HtmlReport.h"
#include "IdleSettings.h"
#include "Messages.h"
#include "OutputDirectory.h"
#include "OutputPaths.h"
#include "OutputSafety.h"
#include "PlannedWrites.h"
#include "Progress.h"
#include "ProgressLog.h"
#include "RunDetails.h"
#include "RunOptions.h"
#include "RunRecorders.h"
#include "StopOnSignal.h"
#include "Summary.h"
#include "TestFile.h"
#include "TimeSeries.h"
#include "Units.h"
#include "VerifyCommand.h"
#include "ZoneCheck.h"
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
  std::string device;  // --device: replaces the device of the file's one drive
  std::string output;
  std::string json;
  std::string report;    // --report FILE.html; for `varnox report`, where the page goes
  std::string series;
  std::string interval = "1s";
  std::string journal;
  std::string progressInterval = "10s";  // progress lines when the output is not a terminal
  bool force = false;
  std::string commandLine;  // as typed, for the JSON summary
  std::string db;           // --db, else the file's [test] db
  std::optional<int> metricsPort;
  std::string metricsFile;
  HistoryArguments history;
};

// The history database and the live metrics of a run (RunRecorders.h).
RecorderOptions recorderOptions(const Arguments& args, const TestPlan* plan) {
  RecorderOptions options{args.db, args.metricsPort, args.metricsFile, 1};
  if (options.database.empty() && plan != nullptr) options.database = plan->historyDatabase;
  std::string why;
  if (auto interval = parseDuration(args.interval, why)) options.intervalSeconds = std::max(*interval, 0.2);
  return options;
}

// Reads the file and applies the options: the plan is ready for TestRun::prepare.
int buildPlan(const Arguments& args, const CLI::App& command, TestPlan& plan, RepeatInfo& repeat, std::ostream& err) {
  std::string error;
  // A folder opens like a file and reads as empty, which would pass for a file without a limit.
  std::error_code ec;
  if (std::filesystem::is_directory(args.file, ec)) {
    err << "varnox: " << escapeControl(args.file) << ": cannot read the test file: it is a directory\n";
    return kExitRefused;
  }
  if (!loadTestFile(args.file, plan, error, args.device)) {
    err << "varnox: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  RunOptions options;
  if (command.count("--duration") > 0) options.duration = args.duration;
  if (command.count("--passes") > 0) options.passes = args.passes;
  if (command.count("--seed") > 0) options.seed = args.seed;
  if (command.count("--output") > 0) options.outputBase = args.output;
  if (!args.device.empty()) options.device = args.device;
  options.sets = args.sets;
  options.force = args.force;
  if (command.count("--journal") > 0) options.journal = args.journal;
  const bool applied = applyRunOptions(plan, options, repeat, error);
  if (applied) defaultLogFile(plan);
  if (!applied || !checkFlow(plan, error) || !(error = zonedDriveRefusal(plan)).empty()) {
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
  // --interval is judged with the run's other outputs, once it is known to be valid.
  GivenOptions given{args.force, false, false};
  for (const std::string& warning : idleSettingWarnings(plan, given))
    err << "varnox: warning: " << escapeControl(warning) << '\n';
  resolveAgentLibraries(plan);
  return kExitPassed;
}

// The metrics file is rewritten and the history database appended to as the run goes: like the
// other outputs, neither may be a device, an input or another output.
void appendRecorderOutputs(const Arguments& args, const TestPlan& plan, std::vector<NamedPath>& outputs) {
  if (!args.metricsFile.empty()) outputs.push_back({"--metrics-file", args.metricsFile});
  if (!args.db.empty())
    outputs.push_back({"--db", args.db});
  else if (!plan.historyDatabase.empty())
    outputs.push_back({"[test] db", plan.historyDatabase});
}

// Checks --interval, and every output's path, kind and folder, before anything is written.
// False, with a message, when one of them cannot be used; `unsafe` names the outputs (as in
// their messages: "--json", "--db", ...) that the refused run must not write its refusal to.
bool checkRunOutputs(const Arguments& args, const TestPlan& plan, std::set<std::string>& unsafe,
                     std::string& error) {
  unsafe.clear();
  std::string why;
  const std::optional<double> interval = parseDuration(args.interval, why);
  if (!interval || *interval < 0.2) {
    error = "--interval: " +
            (interval ? "must be at least 200ms, got " + cli::quoted(args.interval) : escapeControl(why));
    return false;
  }
  const std::optional<double> progress = parseDuration(args.progressInterval, why);
  if (!progress || *progress < 0) {
    error =
        "--progress-interval: " +
        (progress ? "must not be negative, got " + cli::quoted(args.progressInterval) : escapeControl(why));
    return false;
  }
  std::vector<NamedPath> outputs = runOutputs(plan, args.json, args.report, args.series);
  appendRecorderOutputs(args, plan, outputs);
  if (std::string refusal = refuseOutputPaths(outputs, runInputs(plan, args.file)); !refusal.empty()) {
    error = refusal;
    // The refusal is written to an output only when it is a file of its own: no input and no
    // other output.
    for (const NamedPath& output : outputs) {
      std::vector<NamedPath> others = runInputs(plan, args.file);
      for (const NamedPath& other : outputs)
        if (other.what != output.what) others.push_back(other);
      if (!refuseOutputPaths({output}, others).empty()) unsafe.insert(output.what);
    }
    return false;
  }
  if (std::string refusal = unwritableOutput(plan, args.json); !refusal.empty()) {
    error = refusal;
    return false;
  }
  for (const NamedPath& output : outputs) {
    // The run creates the output base's folders, where the default log goes too.
    const bool madeByRun = output.what == "output base" ||
                           output.what.find("Output Path") != std::string::npos ||
                           (output.what == "log file" && output.path == plan.outputBase + ".log");
    if (std::string refusal = cannotCreateBeside(output.path, madeByRun, true); !refusal.empty()) {
      error = output.what + " " + cli::quoted(output.path) + ": " + refusal;
      unsafe.insert(output.what);
      return false;
    }
  }
  return true;
}

// Opens --series, which the run writes as it goes. False, with a message, when it cannot.
bool openSeries(const Arguments& args, const TestPlan& plan, std::unique_ptr<std::ofstream>& csv,
                std::unique_ptr<TimeSeries>& series, std::ostream& err) {
  std::string why;
  const double interval = parseDuration(args.interval, why).value_or(1);
  if (!args.series.empty()) {
    csv = std::make_unique<std::ofstream>(args.series, std::ios::trunc);
    if (!*csv) {
      err << "varnox: --series: cannot write " << escapeControl(args.series) << ": " << std::strerror(errno)
          << '\n';
      return false;
    }
  }
  if (args.series.empty() && args.report.empty() && args.json.empty() && recorderOptions(args, &plan).database.empty())
    return true;
  std::vector<std::string> names;
  for (const DriveSpec& drive : plan.drives) names.push_back(drive.name);
  series = std::make_unique<TimeSeries>(std::move(names), interval, csv.get());
  return true;
}

// The plan as `varnox check` prepares it: devices opened read-only, nothing created, extended,
// filled or logged. A run prepares this first, so that whatever check refuses is refused before
// the run writes anything.
int prepareWithoutWriting(TestPlan plan, std::string& error) {
  plan.logFile.clear();
  for (DriveSpec& drive : plan.drives) drive.device.checkOnly = true;
  TestRun run;  // prepared, never run: destroying it releases agents and devices
  return run.prepare(plan, error);
}

int runCommand(const Arguments& args, const CLI::App& command, std::ostream& out, std::ostream& err) {
  TestPlan plan;
  RepeatInfo repeat;
  RunReport report;
  RunDetails details = collectRunDetails(args.file, args.commandLine);
  std::set<std::string> unsafe;  // outputs the refusal must not be written to
  // The JSON file says "refused" with the reason whenever the run does not start, so that no
  // earlier result passes for this run's.
  auto writeJson = [&args, &err, &report, &details, &unsafe](const RepeatInfo* repeatInfo, int stopSignal,
                                                               bool sayWhy) {
    if (args.json.empty() || unsafe.count("--json") > 0) return true;
    std::string why;
    details.endTime = utcTimestamp(std::chrono::system_clock::now());
    if (writeFileAtomically(args.json,
                            summaryJson(SummaryInput{args.file, &report, repeatInfo, stopSignal, nullptr, &details}),
                            why))
      return true;
    if (sayWhy) err << "varnox: --json: " << escapeControl(why) << '\n';
    return false;
  };
  std::ostringstream planMessages;
  int status = buildPlan(args, command, plan, repeat, planMessages);
  err << planMessages.str();
  std::string refusal;
  if (status == kExitPassed && !checkRunOutputs(args, plan, unsafe, refusal)) status = kExitRefused;
  if (status == kExitPassed) status = prepareWithoutWriting(plan, refusal);
  if (status == kExitPassed && command.count("--interval") > 0)
    for (const std::string& warning :
         idleSettingWarnings({}, {false, true, !args.series.empty() || !args.report.empty()}))
      err << "varnox: warning: " << escapeControl(warning) << '\n';
  if (!refusal.empty()) {
    err << "varnox: " << escapeControl(refusal) << '\n';
    planMessages.str("varnox: " + refusal + "\n");
  }
  if (status != kExitPassed) {
    report.exitStatus = status;
    report.error = planMessages.str();
    if (report.error.rfind("varnox: ", 0) == 0) report.error.erase(0, 8);
    while (!report.error.empty() && report.error.back() == '\n') report.error.pop_back();
    writeJson(nullptr, 0, false);  // an unwritable JSON file was named above
    details.endTime = utcTimestamp(std::chrono::system_clock::now());
    const SummaryInput summary{args.file, &report, nullptr, 0, nullptr, &details};
    RecorderOptions options = recorderOptions(args, plan.drives.empty() ? nullptr : &plan);
    if (unsafe.count("--metrics-file") > 0) options.metricsFile.clear();
    if (unsafe.count("--db") > 0 || unsafe.count("[test] db") > 0) options.database.clear();
    RunRecorders recorders(options);
    if (std::string why; !recorders.finish(summary, summaryJson(summary), why))
      err << "varnox: " << escapeControl(why) << '\n';
    return status;
  }
  // Whatever ends this run, a second Ctrl-C included, the last run's result must not be left
  // standing as if it were this one's.
  if (!args.json.empty()) ::unlink(args.json.c_str());

  // Failure files go where the user asked, so a missing directory is made now, and said so.
  std::string created, error;
  if (!plan.outputBase.empty() && !makeOutputDirectory(plan.outputBase, created, error)) {
    err << "varnox: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  if (!created.empty()) err << "varnox: created the output directory " << escapeControl(created) << '\n';
  // The time series, like the JSON and the report, was checked above; it is written as the run goes.
  std::unique_ptr<std::ofstream> csv;
  std::unique_ptr<TimeSeries> series;
  if (!openSeries(args, plan, csv, series, err)) return kExitRefused;

  RunRecorders recorders(recorderOptions(args, &plan));
  if (!recorders.start(plan, SummaryInput{args.file, nullptr, &repeat, 0, nullptr, &details}, error)) {
    err << "varnox: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  // The history database and the live metrics take the run's end like the files do: one that
  // fails shows in the result line.
  auto finishRecorders = [&recorders, &report, &err](const SummaryInput& full) {
    if (std::string why; !recorders.finish(full, summaryJson(full), why)) {
      err << "varnox: " << escapeControl(why) << '\n';
      report.error += (report.error.empty() ? "" : "; ") + why;
      if (report.exitStatus == kExitPassed) report.exitStatus = kExitRefused;
    }
  };
  // The run outlives the signal watcher, which may call run.stop() until it is joined. It
  // watches from before the preparation, which may fill a device for hours.
  TestRun run;
  StopOnSignal signals;
  signals.watch(run, stderr);
  int stopSignal = 0;
  PreconditionLine precondition(stderr, err);
  run.setPreconditionProgress([&precondition](const std::string& drive, uint64_t done, uint64_t total) {
    precondition.update(drive, done, total);
  });
  status = run.prepare(plan, error);
  if (status != kExitPassed) {
    report.exitStatus = status;
    report.error = error;
    if (signals.signal() != 0) {
      // Stopped while a device was being filled: the interrupted result line, with what was left.
      stopSignal = signals.signal();
      report.exitStatus = exitStatusAfterSignal(kExitPassed, stopSignal);
      out << summaryText(SummaryInput{args.file, &report, &repeat, stopSignal});
    } else {
      err << "varnox: " << escapeControl(error) << '\n';
    }
  } else {
    std::vector<std::string> names;
    for (const DriveSpec& drive : plan.drives) names.push_back(drive.name);
    // What the agents print goes to the log, never between the progress line and the summary.
    AgentOutput agentOutput(run.logSink(), plan.drives.size() == 1 ? plan.drives[0].name : "agent");
    signals.setTerminal(agentOutput.terminal());
    ProgressLine progress(agentOutput.terminal(), names);
    std::string why;
    ProgressLog progressLog(agentOutput.terminal(), parseDuration(args.progressInterval, why).value_or(0),
                            plan.durationSeconds, plan.passes);
    if (series) {
      run.setProgressPeriod(series->progressPeriod());
      series->start();
    }
    recorders.running();
    report = run.run(
        [&progress, &progressLog, &series, &recorders](const std::vector<const DriveProgress*>& drives) {
          progress.update(drives);
          progressLog.update(drives);
          if (series) series->sample(drives);
          recorders.progress(drives);
        });
    progress.finish();
    agentOutput.stop();
    signals.setTerminal(stderr);
    if (series) series->finish(report);
    // A run a signal cut short never reads as passed.
    if (signals.signal() != 0 && stoppedBeforeLimit(report, plan)) {
      stopSignal = signals.signal();
      report.exitStatus = exitStatusAfterSignal(report.exitStatus, stopSignal);
    }
    details.endTime = utcTimestamp(std::chrono::system_clock::now());
    // The outputs are written before the summary, so that one that fails shows in its result line.
    const SummaryInput full{args.file, &report, &repeat, stopSignal, series.get(), &details, &plan};
    writeFinalOutputs({args.json, args.report, args.series}, csv.get(), full, report, err);
    finishRecorders(full);
    SummaryInput summary{args.file, &report, &repeat, stopSignal};
    countLogLines(summary, plan.logFile, agentOutput.warnings(), agentOutput.errors());
    out << summaryText(summary);
    return report.exitStatus;
  }
  details.endTime = utcTimestamp(std::chrono::system_clock::now());
  const SummaryInput full{args.file, &report, nullptr, stopSignal, series.get(), &details, &plan};
  writeFinalOutputs({args.json, args.report, args.series}, csv.get(), full, report, err);
  finishRecorders(full);
  return report.exitStatus;
}

// `varnox report RUN.json`: the HTML page of a run that is over.
int reportCommand(const Arguments& args, std::ostream& out, std::ostream& err) {
  std::ifstream in(args.file, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) {
    err << "varnox: " << escapeControl(args.file) << ": cannot read the JSON summary: " << std::strerror(errno) << '\n';
    return kExitRefused;
  }
  std::string path = args.report;
  if (path.empty()) path = (std::filesystem::path(args.file).replace_extension(".html")).string();
  std::string why = refuseOutputPaths({{"--report", path}}, {{"the JSON summary it reads", args.file}});
  if (!why.empty()) {
    err << "varnox: " << escapeControl(why) << '\n';
    return kExitRefused;
  }
  if (!writeHtmlReport(text.str(), path, why)) {
    err << "varnox: " << escapeControl(args.file) << ": " << escapeControl(why) << '\n';
    return kExitRefused;
  }
  out << path << '\n';
  return kExitPassed;
}

int checkCommand(const Arguments& args, const CLI::App& command, std::ostream& out, std::ostream& err) {
  TestPlan plan;
  RepeatInfo repeat;
  int status = buildPlan(args, command, plan, repeat, err);
  if (status != kExitPassed) return status;
  std::vector<NamedPath> outputs = runOutputs(plan, "", "", "");
  appendRecorderOutputs(args, plan, outputs);
  std::string error = refuseOutputPaths(outputs, runInputs(plan, args.file));
  if (error.empty()) error = unwritableOutput(plan, "");
  for (const NamedPath& output : outputs)
    if (error.empty() && output.what != "log file")
      if (std::string why = cannotCreateBeside(output.path, true, false); !why.empty())
        error = output.what + " " + cli::quoted(output.path) + ": " + why;
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
    err << "varnox: " << escapeControl(error.empty() ? "cannot load agent " + args.agent : error)
        << " (agents: cardamor, the built-in lba, write-kind, read-kind, zones, invalidate and protect, or "
           "an agent "
           "library's path)\n";
    return status;
  }
  const std::string& text = usage ? usageText : keysText;
  out << text << (text.empty() || text.back() != '\n' ? "\n" : "");
  return kExitPassed;
}

// The library's "--seed: At Most 1 required but received 2" in words a user reads.
std::string parseErrorText(std::string text) {
  const std::string atMost = ": At Most 1 required but received ";
  if (const size_t at = text.find(atMost); at != std::string::npos)
    return text.substr(0, at) + ": may be given only once, got it " + text.substr(at + atMost.size()) +
           " times";
  return text;
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
    command->add_option("--device", args.device,
                        "Test this device (\"sim\", a file or a block device) instead of the one the file's drive names");
    command->add_option("--output", args.output, "Base of the output files when \"Miscompare Output Path\" is not set");
    command->add_option("--journal", args.journal,
                        "Journal every write, trim and sync cache in this folder, so that `varnox verify --journal` "
                        "can judge the drives after the host died");
    command->add_flag("--force", args.force,
                      "With a drive's destroy_data = true, write over a file or block device that carries a signature");
  };
  CLI::App* run = app.add_subcommand("run", "Run a test file");
  addTestOptions(run);
  run->add_option("--json", args.json, "Write the summary as JSON to this file");
  run->add_option("--report", args.report, "Write the run's HTML report (charts, latency, the failing block) to this file");
  run->add_option("--series", args.series, "Write the run over time as CSV to this file, one row per drive and interval");
  run->add_option("--interval", args.interval, "Interval of --series and of the report's charts (default 1s, at least 200ms)");
  run->add_option("--db", args.db, "Append the run to this SQLite history database (see varnox history)");
  run->add_option("--metrics-port", args.metricsPort,
                  "Serve live metrics for Prometheus on 127.0.0.1:PORT/metrics (0: a free port)")
      ->check(CLI::Range(0, 65535));
  run->add_option("--metrics-file", args.metricsFile,
                  "Rewrite the live metrics into this file every interval (node exporter's textfile collector)");
  CLI::App* historyApp = app.add_subcommand("history", "List the runs of a history database, or rebuild one's report");
  historyApp->add_option("file", args.history.database, "The history database (varnox run --db)")->required();
  historyApp->add_option("--serial", args.history.filter.serial, "Only runs with a drive of this serial");
  historyApp->add_option("--result", args.history.filter.result,
                         "Only runs with this result: passed, data-integrity failure, refused, ...");
  historyApp->add_option("--since", args.history.filter.since, "Only runs started at or after this UTC date or time (2026-01-31)");
  historyApp->add_option("--until", args.history.filter.until, "Only runs started at or before this UTC date or time");
  historyApp->add_option("--run", args.history.run, "The run (its number in the list) whose result to write")
      ->check(CLI::Range(int64_t{1}, INT64_MAX));
  historyApp->add_option("--report", args.history.report, "With --run: write the run's HTML report to this file");
  historyApp->add_option("--json", args.history.json, "With --run: write the run's JSON result to this file");
  run->add_option("--progress-interval", args.progressInterval,
                  "Without a terminal, a progress line this often (default 10s; 0: none)");
  CLI::App* reportApp = app.add_subcommand("report", "Render the HTML report of a run from its --json file");
  reportApp->add_option("file", args.file, "The JSON summary of a run (varnox run --json)")->required();
  reportApp->add_option("--report", args.report, "The HTML file to write (default: the JSON file's name with .html)");
  CLI::App* check = app.add_subcommand("check", "Validate a test file without running it");
  addTestOptions(check);
  VerifyArguments verifyArgs;
  verifyArgs.commandLine = args.commandLine;
  CLI::App* verify = app.add_subcommand(
      "verify", "Judge every block a run's journal names, after the host died (a kill, a crash, a power cut)");
  verify->add_option("--journal", verifyArgs.journal, "The journal folder of the run (varnox run --journal DIR)")->required();
  verify->add_option("--output", verifyArgs.output, "Base of the failing block's data file (default: the journal's folder)");
  verify->add_option("--json", verifyArgs.json, "Write the summary as JSON to this file");
  // Each command's help ends with the statuses it returns.
  run->footer(exitStatusHelp());
  check->footer(checkStatusHelp());
  reportApp->footer(reportStatusHelp());

  CLI::App* keys = app.add_subcommand("keys", "List the agent's configuration keys with defaults, ranges and help");
  keys->add_option("agent", args.agent, "Agent name or library path (default cardamor)");
  CampaignArguments campaignArgs;
  CLI::App* campaign = addCampaignCommand(app, campaignArgs);
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
    err << "varnox: " << escapeControl(parseErrorText(e.what()))
        << "\nRun 'varnox --help' or 'varnox COMMAND --help' for the options.\n";
    return kExitRefused;
  }

  if (run->parsed()) return runCommand(args, *run, out, err);
  if (check->parsed()) return checkCommand(args, *check, out, err);
  if (verify->parsed()) return verifyCommand(verifyArgs, out, err);
  if (reportApp->parsed()) return reportCommand(args, out, err);
  if (historyApp->parsed()) return historyCommand(args.history, out, err);
  if (keys->parsed()) return describeCommand(args, false, out, err);
  if (campaign->parsed()) return campaignCommand(*campaign, campaignArgs, out, err);
  return describeCommand(args, true, out, err);
}

}  // namespace varnox::cli
