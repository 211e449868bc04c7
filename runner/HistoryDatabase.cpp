#include "HistoryDatabase.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace varnox::cli {
namespace {

// A writer waits this long for another run's transaction; each holds the database for
// milliseconds, so only a stuck process makes a run give up.
constexpr int kBusyTimeoutMs = 60000;

constexpr const char* kSchema = R"SQL(
CREATE TABLE runs (
  id INTEGER PRIMARY KEY,
  start_time TEXT NOT NULL,
  end_time TEXT,
  result TEXT NOT NULL,
  exit_status INTEGER,
  host TEXT, test_file TEXT, command_line TEXT, version TEXT,
  seed INTEGER,
  seconds REAL,
  error TEXT,
  document TEXT
);
CREATE INDEX runs_by_start ON runs(start_time);
CREATE TABLE drives (
  run_id INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  drive INTEGER NOT NULL,
  name TEXT, path TEXT, model TEXT, serial TEXT, firmware TEXT, wwid TEXT,
  passes INTEGER, commands INTEGER, bytes_written INTEGER, bytes_verified INTEGER, failures INTEGER,
  device_errors INTEGER, power_cycles INTEGER, resets INTEGER,
  PRIMARY KEY (run_id, drive)
);
CREATE INDEX drives_by_serial ON drives(serial);
CREATE TABLE failures (
  run_id INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  drive INTEGER NOT NULL,
  lba INTEGER, class TEXT, kind TEXT, message TEXT, drive_file TEXT, reference_file TEXT
);
CREATE TABLE output_files (
  run_id INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  drive INTEGER NOT NULL,
  path TEXT NOT NULL
);
CREATE TABLE latency (
  run_id INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  drive INTEGER NOT NULL,
  kind TEXT NOT NULL,
  count INTEGER, mean_ns REAL, p50_ns INTEGER, p90_ns INTEGER, p99_ns INTEGER, p99_9_ns INTEGER,
  p99_99_ns INTEGER, max_ns INTEGER,
  PRIMARY KEY (run_id, drive, kind)
);
CREATE TABLE series (
  run_id INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  drive INTEGER NOT NULL,
  time_s REAL, write_MBps REAL, verify_MBps REAL, iops REAL, p99_us REAL, errors INTEGER, failures INTEGER,
  p50_us REAL, p99_9_us REAL
);
CREATE INDEX series_by_run ON series(run_id, drive);
)SQL";

int64_t asInt(uint64_t value) {
  return static_cast<int64_t>(value);
}

void bindText(SQLite::Statement& s, int index, const std::string& text) {
  if (text.empty())
    s.bind(index);  // NULL: "not known" rather than an empty name
  else
    s.bind(index, text);
}

// journal_mode=WAL needs the database to itself for a moment; another run opening it at the
// same time makes it busy without the busy handler's help.
void enableWal(SQLite::Database& db) {
  for (int attempt = 0;; ++attempt) {
    try {
      db.exec("PRAGMA journal_mode=WAL");
      return;
    } catch (const SQLite::Exception& e) {
      if (e.getErrorCode() != SQLITE_BUSY && e.getErrorCode() != SQLITE_LOCKED) throw;
      if (attempt * 10 > kBusyTimeoutMs) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

bool checkVersion(SQLite::Database& db, const std::string& path, std::string& error) {
  const int version = db.execAndGet("PRAGMA user_version").getInt();
  if (version > HistoryDatabase::kSchemaVersion) {
    error = path + ": the history database has schema version " + std::to_string(version) +
            ", newer than this varnox reads (" + std::to_string(HistoryDatabase::kSchemaVersion) +
            "): use a newer varnox";
    return false;
  }
  return true;
}

}  // namespace

HistoryDatabase::HistoryDatabase(std::unique_ptr<SQLite::Database> db) : db_(std::move(db)) {}
HistoryDatabase::~HistoryDatabase() = default;

std::unique_ptr<HistoryDatabase> HistoryDatabase::openForWriting(const std::string& path,
                                                                 std::string& error) {
  try {
    auto db = std::make_unique<SQLite::Database>(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE,
                                                 kBusyTimeoutMs);
    // Reading the header proves the file is an SQLite database before anything is written to it.
    db->execAndGet("PRAGMA schema_version");
    if (!checkVersion(*db, path, error)) return nullptr;
    enableWal(*db);
    db->exec("PRAGMA foreign_keys=ON");
    // Two runs may create the database at once: the tables are made under the write lock, by
    // whichever comes first.
    SQLite::Transaction create(*db, SQLite::TransactionBehavior::IMMEDIATE);
    const int version = db->execAndGet("PRAGMA user_version").getInt();
    if (version == 0) {
      if (db->execAndGet("SELECT count(*) FROM sqlite_master").getInt() != 0) {
        error = path + ": not a history database: it holds tables of its own";
        return nullptr;
      }
      db->exec(kSchema);
      db->exec("PRAGMA user_version=" + std::to_string(kSchemaVersion));
    } else if (!checkVersion(*db, path, error)) {
      return nullptr;
    }
    create.commit();
    return std::unique_ptr<HistoryDatabase>(new HistoryDatabase(std::move(db)));
  } catch (const std::exception& e) {
    error = path + ": cannot use the history database: " + e.what();
    return nullptr;
  }
}

std::unique_ptr<HistoryDatabase> HistoryDatabase::openForReading(const std::string& path,
                                                                 std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    error = path + ": no history database there";
    return nullptr;
  }
  try {
    auto db = std::make_unique<SQLite::Database>(path, SQLite::OPEN_READONLY, kBusyTimeoutMs);
    if (!checkVersion(*db, path, error)) return nullptr;
    if (db->execAndGet("PRAGMA user_version").getInt() == 0) {
      error = path + ": not a history database (it has no schema version)";
      return nullptr;
    }
    return std::unique_ptr<HistoryDatabase>(new HistoryDatabase(std::move(db)));
  } catch (const std::exception& e) {
    error = path + ": cannot read the history database: " + e.what();
    return nullptr;
  }
}

int64_t HistoryDatabase::startRun(const HistoryRun& run) {
  SQLite::Transaction t(*db_, SQLite::TransactionBehavior::IMMEDIATE);
  SQLite::Statement s(*db_,
                      "INSERT INTO runs (start_time, result, host, test_file, command_line, version, seed) "
                      "VALUES (?, 'running', ?, ?, ?, ?, ?)");
  s.bind(1, run.startTime);
  bindText(s, 2, run.host);
  bindText(s, 3, run.testFile);
  bindText(s, 4, run.commandLine);
  bindText(s, 5, run.version);
  if (run.seed) s.bind(6, asInt(*run.seed));
  s.exec();
  const int64_t id = db_->getLastInsertRowid();
  t.commit();
  return id;
}

void HistoryDatabase::finishRun(int64_t id, const HistoryRun& run) {
  SQLite::Transaction t(*db_, SQLite::TransactionBehavior::IMMEDIATE);
  SQLite::Statement s(
      *db_,
      "UPDATE runs SET start_time = ?, end_time = ?, result = ?, exit_status = ?, host = ?, "
      "test_file = ?, command_line = ?, version = ?, seed = ?, seconds = ?, error = ?, document = ? "
      "WHERE id = ?");
  s.bind(1, run.startTime);
  bindText(s, 2, run.endTime);
  s.bind(3, run.result);
  s.bind(4, run.exitStatus);
  bindText(s, 5, run.host);
  bindText(s, 6, run.testFile);
  bindText(s, 7, run.commandLine);
  bindText(s, 8, run.version);
  if (run.seed) s.bind(9, asInt(*run.seed));
  s.bind(10, run.seconds);
  bindText(s, 11, run.error);
  bindText(s, 12, run.document);
  s.bind(13, id);
  s.exec();
  insertDrives(id, run);
  t.commit();
}

int64_t HistoryDatabase::appendRun(const HistoryRun& run) {
  const int64_t id = startRun(run);
  finishRun(id, run);
  return id;
}

void HistoryDatabase::insertDrives(int64_t id, const HistoryRun& run) {
  SQLite::Statement drive(*db_, "INSERT INTO drives VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  SQLite::Statement failure(*db_, "INSERT INTO failures VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
  SQLite::Statement file(*db_, "INSERT INTO output_files VALUES (?, ?, ?)");
  SQLite::Statement latency(*db_, "INSERT INTO latency VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  SQLite::Statement sample(*db_, "INSERT INTO series VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  for (size_t i = 0; i < run.drives.size(); ++i) {
    const HistoryDrive& d = run.drives[i];
    const int index = static_cast<int>(i);
    drive.reset();
    drive.clearBindings();
    drive.bind(1, id);
    drive.bind(2, index);
    bindText(drive, 3, d.name);
    bindText(drive, 4, d.path);
    bindText(drive, 5, d.model);
    bindText(drive, 6, d.serial);
    bindText(drive, 7, d.firmware);
    bindText(drive, 8, d.wwid);
    int column = 9;
    for (uint64_t value : {d.passes, d.commands, d.bytesWritten, d.bytesVerified, d.failures, d.deviceErrors,
                           d.powerCycles, d.resets})
      drive.bind(column++, asInt(value));
    drive.exec();
    if (d.failure) {
      const HistoryFailure& f = *d.failure;
      failure.reset();
      failure.clearBindings();
      failure.bind(1, id);
      failure.bind(2, index);
      if (f.lba) failure.bind(3, asInt(*f.lba));
      bindText(failure, 4, f.failureClass);
      bindText(failure, 5, f.kind);
      bindText(failure, 6, f.message);
      bindText(failure, 7, f.driveFile);
      bindText(failure, 8, f.referenceFile);
      failure.exec();
    }
    for (const std::string& path : d.outputFiles) {
      file.reset();
      file.bind(1, id);
      file.bind(2, index);
      file.bind(3, path);
      file.exec();
    }
    for (const HistoryLatency& l : d.latency) {
      latency.reset();
      latency.bind(1, id);
      latency.bind(2, index);
      latency.bind(3, l.kind);
      latency.bind(4, asInt(l.count));
      latency.bind(5, l.meanNs);
      column = 6;
      for (uint64_t value : {l.p50Ns, l.p90Ns, l.p99Ns, l.p999Ns, l.p9999Ns, l.maxNs})
        latency.bind(column++, asInt(value));
      latency.exec();
    }
    for (const HistorySample& r : d.series) {
      sample.reset();
      sample.bind(1, id);
      sample.bind(2, index);
      sample.bind(3, r.seconds);
      sample.bind(4, r.writeMBps);
      sample.bind(5, r.verifyMBps);
      sample.bind(6, r.iops);
      sample.bind(7, r.p99Us);
      sample.bind(8, asInt(r.errors));
      sample.bind(9, asInt(r.failures));
      sample.bind(10, r.p50Us);
      sample.bind(11, r.p999Us);
      sample.exec();
    }
  }
}

std::vector<HistoryEntry> HistoryDatabase::list(const HistoryFilter& filter) {
  std::string sql = "SELECT id, start_time, result, exit_status, test_file, host, seconds FROM runs WHERE 1";
  std::vector<std::string> values;
  if (!filter.serial.empty()) {
    sql += " AND id IN (SELECT run_id FROM drives WHERE serial = ?)";
    values.push_back(filter.serial);
  }
  if (!filter.result.empty()) {
    sql += " AND result = ?";
    values.push_back(filter.result);
  }
  // Times are ISO 8601 in UTC, so text order is time order; a bound is compared at its own
  // precision, so that --until 2026-01-31 takes the whole day.
  if (!filter.since.empty()) {
    sql += " AND substr(start_time, 1, length(?)) >= ?";
    values.insert(values.end(), 2, filter.since);
  }
  if (!filter.until.empty()) {
    sql += " AND substr(start_time, 1, length(?)) <= ?";
    values.insert(values.end(), 2, filter.until);
  }
  sql += " ORDER BY id";
  SQLite::Statement query(*db_, sql);
  for (size_t i = 0; i < values.size(); ++i) query.bind(static_cast<int>(i) + 1, values[i]);
  std::vector<HistoryEntry> entries;
  SQLite::Statement drives(*db_, "SELECT name, path, serial FROM drives WHERE run_id = ? ORDER BY drive");
  while (query.executeStep()) {
    HistoryEntry e;
    e.id = query.getColumn(0).getInt64();
    e.startTime = query.getColumn(1).getString();
    e.result = query.getColumn(2).getString();
    e.exitStatus = query.getColumn(3).isNull() ? -1 : query.getColumn(3).getInt();
    e.testFile = query.getColumn(4).getString();
    e.host = query.getColumn(5).getString();
    e.seconds = query.getColumn(6).getDouble();
    drives.reset();
    drives.bind(1, e.id);
    while (drives.executeStep()) {
      std::string text = drives.getColumn(0).getString() + " " + drives.getColumn(1).getString();
      if (!drives.getColumn(2).isNull()) text += " serial " + drives.getColumn(2).getString();
      e.drives.push_back(text);
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

std::optional<std::string> HistoryDatabase::document(int64_t id) {
  SQLite::Statement s(*db_, "SELECT document FROM runs WHERE id = ?");
  s.bind(1, id);
  if (!s.executeStep() || s.getColumn(0).isNull()) return std::nullopt;
  return s.getColumn(0).getString();
}

}  // namespace varnox::cli
