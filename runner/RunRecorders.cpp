#include "RunRecorders.h"

#include <iostream>

#include "DriveIdentity.h"
#include "OutputPaths.h"

namespace varnox::cli {
namespace {

std::optional<uint64_t> decimal(const std::map<std::string, std::string>& keys, const char* key) {
  auto it = keys.find(key);
  if (it == keys.end() || it->second.empty() ||
      it->second.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::stoull(it->second);
}

std::string text(const std::map<std::string, std::string>& keys, const char* key) {
  auto it = keys.find(key);
  return it == keys.end() ? std::string() : it->second;
}

HistoryDrive historyDrive(const DriveReport& r, const MetricsDrive* identity, const TimeSeries* series,
                          size_t index) {
  HistoryDrive d;
  d.name = r.name;
  d.path = r.path.empty() ? (identity ? identity->path : "") : r.path;
  // The drive as sysfs shows it now: a block device's serial is the key a lab looks runs up by.
  const DriveIdentity id = driveIdentity(d.path.empty() ? "sim" : d.path);
  d.model = id.model.value_or("");
  d.serial = id.serial.value_or("");
  d.firmware = id.firmware.value_or("");
  d.wwid = id.wwid.value_or("");
  const MetricsDrive figures = metricsFromReport({}, r);
  d.passes = figures.passes;
  d.commands = figures.commands;
  d.bytesWritten = figures.bytesWritten;
  d.bytesVerified = figures.bytesVerified;
  d.failures = figures.failures;
  d.deviceErrors = figures.deviceErrors;
  d.powerCycles = figures.powerCycles;
  d.resets = figures.resets;
  if (r.failures > 0 || r.agentStatus != 0 || !text(r.diagnosis, "class").empty()) {
    HistoryFailure f;
    f.lba = decimal(r.diagnosis, "lba");
    f.failureClass = text(r.diagnosis, "class");
    f.kind = text(r.diagnosis, "failure");
    f.message = r.failureText;
    f.driveFile = text(r.diagnosis, "driveFile");
    f.referenceFile = text(r.diagnosis, "referenceFile");
    d.failure = f;
  }
  d.outputFiles = r.outputFiles;
  for (const auto& [kind, s] : r.latency) {
    d.latency.push_back({kind, s.count, s.meanNs(), s.percentileNs(0.5), s.percentileNs(0.9),
                         s.percentileNs(0.99), s.percentileNs(0.999), s.percentileNs(0.9999), s.maxNs});
  }
  if (series != nullptr && index < series->driveNames().size()) {
    for (const SeriesRow& row : series->rows(index)) {
      d.series.push_back({row.seconds, row.writeMBps, row.verifyMBps, row.iops, row.latency.p99Us, row.errors,
                          row.failures, row.latency.p50Us, row.latency.p999Us});
    }
  }
  return d;
}

}  // namespace

HistoryRun historyRun(const SummaryInput& in, const std::string& json,
                      const std::vector<MetricsDrive>& identities) {
  HistoryRun run;
  if (in.details != nullptr) {
    run.startTime = in.details->startTime;
    run.endTime = in.details->endTime;
    run.host = in.details->hostName;
    run.commandLine = in.details->commandLine;
    run.version =
        in.details->version + (in.details->revision.empty() ? "" : " (" + in.details->revision + ")");
  }
  run.testFile =
      in.details != nullptr && !in.details->testFilePath.empty() ? in.details->testFilePath : in.file;
  if (in.repeat != nullptr) run.seed = in.repeat->seed;
  run.document = json;
  if (in.report != nullptr) {
    run.exitStatus = in.report->exitStatus;
    run.result = std::string(exitStatusName(in.report->exitStatus));
    run.seconds = in.report->seconds;
    run.error = in.report->error;
    for (size_t i = 0; i < in.report->drives.size(); ++i)
      run.drives.push_back(
          historyDrive(in.report->drives[i], i < identities.size() ? &identities[i] : nullptr, in.series, i));
  }
  return run;
}

std::vector<MetricsDrive> driveIdentities(const TestPlan& plan) {
  std::vector<MetricsDrive> drives;
  for (const DriveSpec& planned : plan.drives) {
    MetricsDrive d;
    d.name = planned.name;
    d.path = planned.device.kind;
    const DriveIdentity id = driveIdentity(planned.device.kind);
    d.serial = id.serial.value_or("");
    d.model = id.model.value_or("");
    drives.push_back(std::move(d));
  }
  return drives;
}

RunRecorders::RunRecorders(RecorderOptions options) : options_(std::move(options)) {}
RunRecorders::~RunRecorders() = default;

bool RunRecorders::start(const TestPlan& plan, const SummaryInput& run, std::string& error) {
  identities_ = driveIdentities(plan);
  if (!options_.database.empty()) {
    database_ = HistoryDatabase::openForWriting(options_.database, error);
    if (!database_) {
      error = "--db: " + error;
      return false;
    }
    try {
      runId_ = database_->startRun(historyRun(run, "", identities_));
    } catch (const std::exception& e) {
      error = "--db: " + options_.database + ": cannot record the run: " + e.what();
      return false;
    }
  }
  if (options_.metricsPort) {
    server_ = std::make_unique<MetricsServer>();
    if (!server_->start(*options_.metricsPort, error)) {
      error = "--metrics-port: " + error;
      return false;
    }
    std::cerr << "varnox: metrics at http://127.0.0.1:" << server_->port() << "/metrics\n";
  }
  // The metrics file is written once now, so that a folder it cannot go to refuses the run.
  state_ = "preparing";
  if (!options_.metricsFile.empty()) {
    std::string why;
    if (!writeFileAtomically(options_.metricsFile, metricsText(state_, identities_, MetricsFormat::Classic),
                             why)) {
      error = "--metrics-file: " + why;
      return false;
    }
  }
  publish(state_, identities_);
  return true;
}

void RunRecorders::running() {
  state_ = "running";
  publish(state_, identities_);
  nextPublish_ =
      std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                             std::chrono::duration<double>(options_.intervalSeconds));
}

void RunRecorders::progress(const std::vector<const DriveProgress*>& drives) {
  if (!server_ && options_.metricsFile.empty()) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < nextPublish_) return;
  nextPublish_ = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(options_.intervalSeconds));
  std::vector<MetricsDrive> figures;
  for (size_t i = 0; i < drives.size() && i < identities_.size(); ++i)
    if (drives[i] != nullptr) figures.push_back(metricsFromProgress(identities_[i], *drives[i]));
  publish(state_, figures);
}

bool RunRecorders::finish(const SummaryInput& summary, const std::string& json, std::string& error) {
  if (summary.report != nullptr) {
    state_ = runStateFor(summary.report->exitStatus);
    std::vector<MetricsDrive> figures;
    for (size_t i = 0; i < summary.report->drives.size(); ++i) {
      MetricsDrive identity = i < identities_.size() ? identities_[i] : MetricsDrive{};
      if (identity.name.empty()) identity.name = summary.report->drives[i].name;
      figures.push_back(metricsFromReport(identity, summary.report->drives[i]));
    }
    publish(state_, figures.empty() ? identities_ : figures);
  }
  if (options_.database.empty()) return true;
  try {
    // A run refused before start() opens the database here, to record the refusal.
    if (!database_) {
      database_ = HistoryDatabase::openForWriting(options_.database, error);
      if (!database_) {
        error = "--db: " + error;
        return false;
      }
    }
    const HistoryRun run = historyRun(summary, json, identities_);
    if (runId_ != 0)
      database_->finishRun(runId_, run);
    else
      runId_ = database_->appendRun(run);
  } catch (const std::exception& e) {
    error = "--db: " + options_.database + ": cannot record the run: " + e.what();
    return false;
  }
  return true;
}

void RunRecorders::publish(const std::string& state, const std::vector<MetricsDrive>& drives) {
  if (server_)
    server_->publish(metricsText(state, drives, MetricsFormat::OpenMetrics),
                     metricsText(state, drives, MetricsFormat::Classic));
  if (!options_.metricsFile.empty()) {
    // A file that cannot be rewritten in the middle of a run costs the run nothing: the last
    // good text stays, and the collector sees it go stale.
    std::string why;
    writeFileAtomically(options_.metricsFile, metricsText(state, drives, MetricsFormat::Classic), why);
  }
}

}  // namespace varnox::cli
