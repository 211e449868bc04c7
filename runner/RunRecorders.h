#pragma once
// Where a run is kept besides its own output files: the history database (--db, [test] db),
// which gets a row when the run starts and its results when it ends (or one record when it was
// refused), and the live metrics (--metrics-port, --metrics-file), published every interval
// while the drives run and once more with how the run ended.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HistoryDatabase.h"
#include "MetricsServer.h"
#include "MetricsText.h"
#include "Summary.h"
#include "varnox/TestPlan.h"

namespace varnox::cli {

struct RecorderOptions {
  std::string database;            // empty: no history
  std::optional<int> metricsPort;  // 0: a free port, said on standard error
  std::string metricsFile;
  double intervalSeconds = 1;
};

// The history database's record of a run from its summary and JSON result. `identities` (one
// per drive of the report, may be fewer) give serial, model and path.
HistoryRun historyRun(const SummaryInput& summary, const std::string& json,
                      const std::vector<MetricsDrive>& identities);

// What the metrics and the history call a drive: its name, path, and serial and model where
// the device tells them.
std::vector<MetricsDrive> driveIdentities(const TestPlan& plan);

class RunRecorders {
 public:
  explicit RunRecorders(RecorderOptions options);
  ~RunRecorders();

  // Before the run: opens the database and records the run as running, starts the metrics in
  // state "preparing". False with `error` (naming the option and file) when one cannot be used.
  bool start(const TestPlan& plan, const SummaryInput& run, std::string& error);
  // The drives run: state "running".
  void running();
  // Called with the live counters; publishes once an interval has passed.
  void progress(const std::vector<const DriveProgress*>& drives);
  // The run is over (or was refused before start): records it and publishes the final state.
  // False with `error` when the database could not take it.
  bool finish(const SummaryInput& summary, const std::string& json, std::string& error);

  const RecorderOptions& options() const { return options_; }

 private:
  void publish(const std::string& state, const std::vector<MetricsDrive>& drives);

  RecorderOptions options_;
  std::vector<MetricsDrive> identities_;
  std::unique_ptr<HistoryDatabase> database_;
  int64_t runId_ = 0;
  std::unique_ptr<MetricsServer> server_;
  std::string state_ = "preparing";
  std::chrono::steady_clock::time_point nextPublish_{};
};

}  // namespace varnox::cli
