#pragma once
// The run history: an SQLite database every run appends to (refused and interrupted ones too),
// with a table each for runs, drives, failures, output files, latency summaries and the run over
// time, and each run's whole JSON result beside its columns, so that its report can be rebuilt
// years later. Several runs on one host write to one database at once: it is in WAL mode, every
// write is one short immediate transaction, and a writer waits for a busy database.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace SQLite {
class Database;
}

namespace varnox::cli {

struct HistoryLatency {
  std::string kind;  // "Write", "Read", ...
  uint64_t count = 0;
  double meanNs = 0;
  uint64_t p50Ns = 0, p90Ns = 0, p99Ns = 0, p999Ns = 0, p9999Ns = 0, maxNs = 0;
};

struct HistorySample {  // one row of the run over time, in the CSV's columns and units
  double seconds = 0;
  double writeMBps = 0;
  double verifyMBps = 0;
  double iops = 0;
  double p99Us = 0;
  uint64_t errors = 0;
  uint64_t failures = 0;
  double p50Us = 0;
  double p999Us = 0;
};

struct HistoryFailure {
  std::optional<uint64_t> lba;
  std::string failureClass;  // the diagnosis: "corrupted", "stale", "lost", ...; empty when none
  std::string kind;          // what failed: "miscompare", "verify", ...; empty when unknown
  std::string message;       // the drive's first error line
  std::string driveFile;     // the drive's and the reference data of the failing block, if written
  std::string referenceFile;
};

struct HistoryDrive {
  std::string name;
  std::string path;
  std::string model, serial, firmware, wwid;  // empty when the drive does not say
  uint64_t passes = 0, commands = 0, bytesWritten = 0, bytesVerified = 0, failures = 0;
  uint64_t deviceErrors = 0, powerCycles = 0, resets = 0;
  std::optional<HistoryFailure> failure;
  std::vector<std::string> outputFiles;
  std::vector<HistoryLatency> latency;
  std::vector<HistorySample> series;
};

struct HistoryRun {
  std::string startTime;  // UTC, ISO 8601
  std::string endTime;    // empty while the run runs
  std::string result;     // "running" until it ends, then the exit status's name ("passed", ...)
  int exitStatus = -1;    // -1 while the run runs
  std::string host, testFile, commandLine, version;
  std::optional<uint64_t> seed;
  double seconds = 0;
  std::string error;     // why it was refused or the device failed
  std::string document;  // the run's JSON result
  std::vector<HistoryDrive> drives;
};

// One line of `varnox history`.
struct HistoryEntry {
  int64_t id = 0;
  std::string startTime, result, testFile, host;
  int exitStatus = -1;
  double seconds = 0;
  std::vector<std::string> drives;  // "D0 /dev/sdb serial S1"
};

struct HistoryFilter {
  std::string serial;  // a drive of the run has this serial
  std::string result;  // "passed", "failed", ...
  std::string since;   // start time at or after: a date or an ISO 8601 time, as a prefix
  std::string until;   // start time at or before, compared at the given precision
};

// Failures of SQLite after opening (a full disk, a database locked past the busy timeout) throw
// std::runtime_error with SQLite's message.
class HistoryDatabase {
 public:
  static constexpr int kSchemaVersion = 1;

  ~HistoryDatabase();
  // Opens `path` to append runs, creating it and its tables when missing. Null with `error`
  // naming the file when it is not a history database, or one of a newer schema.
  static std::unique_ptr<HistoryDatabase> openForWriting(const std::string& path, std::string& error);
  // Opens an existing database to read; creates nothing.
  static std::unique_ptr<HistoryDatabase> openForReading(const std::string& path, std::string& error);

  // Records a run that has started ("running"); returns its id.
  int64_t startRun(const HistoryRun& run);
  // Replaces the started run's row with how it ended and adds its drives.
  void finishRun(int64_t id, const HistoryRun& run);
  // A run that never started (refused) in one step.
  int64_t appendRun(const HistoryRun& run);

  std::vector<HistoryEntry> list(const HistoryFilter& filter);
  // The run's JSON result; none when no run has that id.
  std::optional<std::string> document(int64_t id);

 private:
  explicit HistoryDatabase(std::unique_ptr<SQLite::Database> db);
  void insertDrives(int64_t id, const HistoryRun& run);
  std::unique_ptr<SQLite::Database> db_;
};

}  // namespace varnox::cli
