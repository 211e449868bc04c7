// The campaign subcommands: submitting the job array, reading where every drive stands,
// gathering the results, submitting the failed drives again, cancelling.
#include "CampaignCommand.h"

#include <chrono>
#include <filesystem>
#include <iomanip>
#include <thread>
#include <unistd.h>

#include "CampaignFile.h"
#include "CampaignHistory.h"
#include "CampaignReport.h"
#include "CampaignScript.h"
#include "CampaignState.h"
#include "CampaignStatus.h"
#include "Messages.h"
#include "OutputPaths.h"
#include "RunDetails.h"
#include "Slurm.h"
#include "TestFile.h"
#include "Units.h"
#include "varnox/TestRun.h"

namespace varnox::cli {
namespace {

namespace fs = std::filesystem;
using namespace campaign;

std::string thisProgram() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? "varnox" : self.string();
}

// Every drive's test file must read with the drive's device in it, before Slurm runs anything.
bool checkTests(const std::vector<const CampaignDrive*>& drives, std::string& error) {
  for (const CampaignDrive* d : drives) {
    TestPlan plan;
    if (!loadTestFile(d->testFile, plan, error, d->path)) {
      error = "drive " + cli::quoted(d->id) + ": " + error;
      return false;
    }
  }
  return true;
}

int submit(const Campaign& c, const std::vector<const CampaignDrive*>& drives, const std::string& kind, bool dryRun,
           std::ostream& out, std::ostream& err) {
  std::string error;
  if (!checkTests(drives, error)) {
    err << "varnox: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  const std::string script = batchScript(c, drives, c.varnox.empty() ? thisProgram() : c.varnox);
  if (dryRun) {
    out << script << "\n# submitted held with: sbatch --parsable --hold --array=0-" << drives.size() - 1
        << " SCRIPT\n# then every task bound to its node and drive, and the array released:\n";
    for (size_t i = 0; i < drives.size(); ++i)
      out << "#   scontrol update JobId=JOB_" << i << " NodeList=" << drives[i]->host << " TresPerNode=gres:" << c.gresName
          << ':' << drives[i]->gresType << ":1\n";
    out << "#   scontrol release JOB\n";
    return kExitPassed;
  }
  CampaignState state;
  if (!loadState(c.results, state, error)) {
    err << "varnox: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  std::error_code ec;
  fs::create_directories(c.results + "/slurm", ec);
  const std::string stamp = utcTimestamp(std::chrono::system_clock::now());
  const std::string scriptPath = c.results + "/slurm/" + kind + "-" + std::to_string(state.submissions.size() + 1) + ".sh";
  if (ec || !writeFileAtomically(scriptPath, script, error)) {
    err << "varnox: " << escapeControl(c.results) << ": cannot write the campaign's results folder: "
        << escapeControl(ec ? ec.message() : error) << '\n';
    return kExitRefused;
  }
  const std::optional<std::string> job = slurm::submitHeldArray(scriptPath, drives.size(), error);
  if (!job) {
    err << "varnox: sbatch refused the campaign: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  for (size_t i = 0; i < drives.size(); ++i) {
    if (slurm::bindTask(*job, i, drives[i]->host, c.gresName, drives[i]->gresType, error)) continue;
    std::string ignored;
    slurm::cancel({*job}, ignored);
    err << "varnox: cannot bind task " << i << " to drive " << escapeControl(drives[i]->id) << " (node "
        << escapeControl(drives[i]->host) << ", gres " << c.gresName << ':' << escapeControl(drives[i]->gresType)
        << "): " << escapeControl(error) << "\nvarnox: job " << *job << " cancelled\n";
    return kExitRefused;
  }
  Submission s{*job, stamp, kind, {}};
  for (const CampaignDrive* d : drives) s.drives.push_back(d->id);
  state.submissions.push_back(s);
  // Recorded before the release, so that no task runs that the campaign does not know of.
  if (!saveState(c.results, state, error) || !slurm::release(*job, error)) {
    std::string ignored;
    slurm::cancel({*job}, ignored);
    err << "varnox: " << escapeControl(error) << "\nvarnox: job " << *job << " cancelled\n";
    return kExitRefused;
  }
  out << "Submitted job " << *job << ": " << drives.size() << (drives.size() == 1 ? " task" : " tasks")
      << ", one per drive; results in " << c.results << "\n";
  for (size_t i = 0; i < drives.size(); ++i)
    out << "  " << *job << '_' << i << "  " << drives[i]->id << "  seed " << drives[i]->seed << '\n';
  return kExitPassed;
}

// The worst of the finished drives, as a run's exit status would say it.
int worstStatus(const std::vector<DriveStatus>& drives) {
  int worst = kExitPassed;
  auto rank = [](int status) {
    switch (status) {
      case kExitIntegrityFailure: return 5;
      case kExitDeviceFailure: return 4;
      case kExitInconclusive: return 3;
      case kExitRefused: return 2;
      case kExitPassed: return 0;
      default: return 1;
    }
  };
  for (const DriveStatus& d : drives) {
    int status = kExitPassed;
    if (d.state == "failed") status = kExitIntegrityFailure;
    else if (d.state == "device error" || d.state == "lost") status = kExitDeviceFailure;
    else if (d.state == "inconclusive") status = kExitInconclusive;
    else if (d.state == "refused") status = kExitRefused;
    else if (d.state == "interrupted") status = kExitInterrupted;
    if (rank(status) > rank(worst)) worst = status;
  }
  return worst;
}

void printStatus(const std::vector<DriveStatus>& drives, bool json, std::ostream& out) {
  if (json) {
    nlohmann::json doc = nlohmann::json::array();
    for (const DriveStatus& d : drives)
      doc.push_back({{"drive", d.drive->id}, {"host", d.drive->host}, {"path", d.drive->path}, {"task", d.task},
                     {"state", d.state}, {"detail", d.detail}, {"seed", d.drive->seed}, {"folder", d.folder}});
    out << doc.dump(2) << '\n';
    return;
  }
  size_t width = 5;
  for (const DriveStatus& d : drives) width = std::max(width, d.drive->id.size());
  out << std::left << std::setw(static_cast<int>(width)) << "drive" << "  " << std::setw(14) << "task" << std::setw(14)
      << "state" << "detail\n";
  for (const DriveStatus& d : drives)
    out << std::setw(static_cast<int>(width)) << d.drive->id << "  " << std::setw(14) << (d.task.empty() ? "-" : d.task)
        << std::setw(14) << d.state << escapeControl(d.detail) << '\n';
}

}  // namespace

CLI::App* addCampaignCommand(CLI::App& app, CampaignArguments& args) {
  CLI::App* campaign = app.add_subcommand("campaign", "Run a test on many drives of many hosts through Slurm");
  campaign->require_subcommand(1, 1);
  campaign->footer(
      "A campaign file (TOML) names the test, the drives and where the results go:\n"
      "  [campaign]  test = \"soak.toml\", results = \"/shared/qual\" (every host writes there),\n"
      "              duration = \"8h\" | passes = N, seed = 1 (each drive's seed derives from it),\n"
      "              on_failure = \"keep\" | \"rerun\" (a data failure runs again at once with its seed),\n"
      "              gres = \"drive\", partition, time_limit, sbatch = [\"--qos=qual\"], varnox (path on the nodes),\n"
      "              drives_from_gres = \"/etc/slurm/gres.conf\" (one drive a line: NodeName, Type, File)\n"
      "  [[drive]]   host = \"node01\", path = \"/dev/sdb\", gres = \"sdb\" (its Type in gres.conf), name, seed, test\n"
      "submit makes one job array, one task per drive, each bound to its node and holding its drive as\n"
      "the generic resource gres:NAME:TYPE, so no two tasks test one drive at once. Every task runs\n"
      "`varnox run TEST --device PATH --seed SEED` and writes result.json and report.html to\n"
      "RESULTS/drives/<drive>/<job>_<task>/.\n"
      "status exits 0 while every finished drive passed, else with the status of the worst one\n"
      "(1 data failure, 3 device failure or lost task, 4 inconclusive, 2 refused).");
  auto addFile = [&args](CLI::App* command) {
    command->add_option("file", args.file, "The campaign file (TOML)")->required();
  };
  CLI::App* submit = campaign->add_subcommand("submit", "Submit one Slurm job array: one task per drive");
  addFile(submit);
  submit->add_flag("--dry-run", args.dryRun, "Print the batch script and the binding of the tasks; submit nothing");
  CLI::App* status = campaign->add_subcommand("status", "Show every drive: pending, running, passed, failed, ...");
  addFile(status);
  status->add_flag("--json", args.json, "Print the statuses as JSON");
  status->add_flag("--wait", args.wait, "Wait until no task is pending or running, then print");
  status->add_option("--timeout", args.timeout, "With --wait: give up after this long (0: never)");
  CLI::App* report = campaign->add_subcommand("report", "Gather every result into one HTML page (and the history database)");
  addFile(report);
  report->add_option("--report", args.report, "The page to write (default RESULTS/campaign.html)");
  CLI::App* rerun = campaign->add_subcommand("rerun", "Submit drives again with their seeds");
  addFile(rerun);
  rerun->add_flag("--failed", args.failed, "The drives that did not pass (failed, device error, inconclusive, lost)")
      ->required();
  rerun->add_flag("--dry-run", args.dryRun, "Print what would be submitted; submit nothing");
  CLI::App* cancel = campaign->add_subcommand("cancel", "Cancel every task of the campaign still queued or running");
  addFile(cancel);
  return campaign;
}

int campaignCommand(const CLI::App& command, const CampaignArguments& args, std::ostream& out, std::ostream& err) {
  Campaign c;
  std::string error;
  if (!loadCampaign(args.file, c, error)) {
    err << "varnox: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  const CLI::App* chosen = command.get_subcommands().front();
  const std::string name = chosen->get_name();
  std::vector<const CampaignDrive*> all;
  for (const CampaignDrive& d : c.drives) all.push_back(&d);
  if (name == "submit") return submit(c, all, "submit", args.dryRun, out, err);

  CampaignState state;
  if (!loadState(c.results, state, error)) {
    err << "varnox: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  if (state.submissions.empty() && name != "status") {
    err << "varnox: " << escapeControl(c.file) << ": nothing submitted yet (no " << escapeControl(c.results)
        << "/campaign.json): run varnox campaign submit first\n";
    return kExitRefused;
  }
  if (name == "cancel") {
    std::vector<std::string> jobs;
    for (const Submission& s : state.submissions) jobs.push_back(s.jobId);
    if (!slurm::cancel(jobs, error)) {
      err << "varnox: scancel: " << escapeControl(error) << '\n';
      return kExitRefused;
    }
    out << "Cancelled " << jobs.size() << (jobs.size() == 1 ? " job\n" : " jobs\n");
    return kExitPassed;
  }

  std::string note;
  std::vector<DriveStatus> drives = driveStatuses(c, state, note);
  if (name == "status" && args.wait) {
    std::string why;
    const std::optional<double> limit = parseDuration(args.timeout, why);
    if (!limit) {
      err << "varnox: --timeout: " << escapeControl(why) << '\n';
      return kExitRefused;
    }
    const auto start = std::chrono::steady_clock::now();
    auto busy = [&drives] {
      for (const DriveStatus& d : drives)
        if (!d.finished()) return true;
      return false;
    };
    while (busy()) {
      if (*limit > 0 && std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > *limit) {
        printStatus(drives, args.json, out);
        err << "varnox: --wait: tasks still pending or running after " << args.timeout << '\n';
        return kExitDeviceFailure;
      }
      std::this_thread::sleep_for(std::chrono::seconds(2));
      drives = driveStatuses(c, state, note);
    }
  }
  if (!note.empty()) err << "varnox: " << escapeControl(note) << '\n';
  if (name == "status") {
    printStatus(drives, args.json, out);
    return worstStatus(drives);
  }
  if (name == "rerun") {
    std::vector<const CampaignDrive*> again;
    for (const DriveStatus& d : drives)
      if (d.finished() && d.state != "passed" && d.state != "not submitted") again.push_back(d.drive);
    if (again.empty()) {
      out << "No drive to submit again: every drive passed or is still pending or running\n";
      return kExitPassed;
    }
    return submit(c, again, "rerun", args.dryRun, out, err);
  }
  // report
  const std::string page = args.report.empty() ? c.results + "/campaign.html" : args.report;
  if (!writeFileAtomically(page, campaignPage(c, drives, page, utcTimestamp(std::chrono::system_clock::now())), error)) {
    err << "varnox: --report: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  if (!c.database.empty()) {
    const size_t before = state.gathered.size();
    const bool gatheredAll = gatherIntoHistory(c.database, drives, state.gathered, error);
    // What went into the database is recorded even when a later result could not be added.
    std::string saveError;
    if (state.gathered.size() != before && !saveState(c.results, state, saveError)) error = saveError;
    if (!gatheredAll || !error.empty()) {
      err << "varnox: history database: " << escapeControl(error) << '\n';
      return kExitRefused;
    }
    err << "varnox: " << state.gathered.size() - before << " new results added to " << escapeControl(c.database) << '\n';
  }
  out << page << '\n';
  return kExitPassed;
}

}  // namespace varnox::cli
