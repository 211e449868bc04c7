// The run history: what a run stores comes back by the filters a lab uses, a database it cannot
// read is refused by name and left alone, and several varnox processes appending to one database
// at once each get their run recorded whole.
#include "HistoryDatabase.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "support/RunVarnox.h"
#include "support/TempDir.h"

namespace varnox::cli {
namespace {

using History = testing::TempDirTest;

HistoryRun makeRun(const std::string& start, const std::string& result, int status,
                   const std::string& serial) {
  HistoryRun run;
  run.startTime = start;
  run.endTime = start;
  run.result = result;
  run.exitStatus = status;
  run.testFile = "t.toml";
  run.document = "{\"result\": \"" + result + "\"}";
  HistoryDrive d;
  d.name = "D0";
  d.path = "/dev/sdx";
  d.serial = serial;
  d.failure = status == 1 ? std::optional<HistoryFailure>(
                                HistoryFailure{4096, "stale", "miscompare", "Miscompare", "d.bin", "r.bin"})
                          : std::nullopt;
  d.latency.push_back({"Write", 10, 1500, 1000, 2000, 3000, 4000, 5000, 6000});
  d.series.push_back({1.0, 2.5, 2.0, 100, 12.5, 0, 0, 3.5, 20.5});
  run.drives.push_back(d);
  return run;
}

// Runs SQL on the database with the C library directly; returns the first column of the first row.
std::string sql(const std::string& path, const std::string& statement) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  std::string value;
  sqlite3_exec(
      db, statement.c_str(),
      [](void* out, int, char** columns, char**) {
        if (static_cast<std::string*>(out)->empty() && columns[0] != nullptr)
          *static_cast<std::string*>(out) = columns[0];
        return 0;
      },
      &value, nullptr);
  sqlite3_close(db);
  return value;
}

TEST_F(History, RunsComeBackByDriveSerialResultAndDate) {
  std::string error;
  {
    auto db = HistoryDatabase::openForWriting(path("h.db"), error);
    ASSERT_TRUE(db) << error;
    db->appendRun(makeRun("2026-01-30T23:59:59Z", "passed", 0, "S1"));
    db->appendRun(makeRun("2026-01-31T08:00:00Z", "data-integrity failure", 1, "S2"));
    db->appendRun(makeRun("2026-02-01T00:00:00Z", "passed", 0, "S2"));
    const int64_t running = db->startRun(makeRun("2026-02-02T10:00:00Z", "", -1, ""));
    EXPECT_EQ(running, 4);
  }
  auto db = HistoryDatabase::openForReading(path("h.db"), error);
  ASSERT_TRUE(db) << error;
  struct Case {
    HistoryFilter filter;
    std::vector<int64_t> ids;
  };
  const Case cases[] = {
      {{}, {1, 2, 3, 4}},
      {{"S2", "", "", ""}, {2, 3}},
      {{"", "passed", "", ""}, {1, 3}},
      {{"", "running", "", ""}, {4}},
      {{"S2", "passed", "", ""}, {3}},
      {{"", "", "2026-01-31", ""}, {2, 3, 4}},
      {{"", "", "", "2026-01-31"}, {1, 2}},  // the whole day
      {{"", "", "2026-01-31", "2026-01-31"}, {2}},
      {{"", "", "2026-01-31T08:00:01Z", ""}, {3, 4}},
      {{"S9", "", "", ""}, {}},
  };
  for (const Case& c : cases) {
    std::vector<int64_t> ids;
    for (const HistoryEntry& e : db->list(c.filter)) ids.push_back(e.id);
    EXPECT_EQ(ids, c.ids) << c.filter.serial << "|" << c.filter.result << "|" << c.filter.since << "|"
                          << c.filter.until;
  }
  EXPECT_EQ(db->list({"S1", "", "", ""}).at(0).drives, std::vector<std::string>{"D0 /dev/sdx serial S1"});
  EXPECT_EQ(db->document(2).value_or(""), "{\"result\": \"data-integrity failure\"}");
  EXPECT_FALSE(db->document(4)) << "a run still running has no result yet";
  EXPECT_FALSE(db->document(99));
  EXPECT_EQ(sql(path("h.db"), "SELECT lba || ' ' || class || ' ' || drive_file FROM failures"),
            "4096 stale d.bin");
  EXPECT_EQ(sql(path("h.db"), "SELECT count(*) FROM latency WHERE run_id = 2 AND p99_ns = 3000"), "1");
  EXPECT_EQ(
      sql(path("h.db"), "SELECT p50_us || ' ' || p99_us || ' ' || p99_9_us FROM series WHERE run_id = 3"),
      "3.5 12.5 20.5");
  EXPECT_EQ(sql(path("h.db"), "PRAGMA journal_mode"), "wal");
}

TEST_F(History, ADatabaseItCannotReadIsRefusedByNameAndLeftAlone) {
  std::string error;
  ASSERT_TRUE(HistoryDatabase::openForWriting(path("new.db"), error)) << error;
  sql(path("new.db"), "PRAGMA user_version = 7");
  sql(path("other.db"), "CREATE TABLE mine (x); INSERT INTO mine VALUES (1)");
  file("text.db", std::string(200, 'x'));
  struct Case {
    std::string file;
    bool writing;
    std::string message;
  };
  const Case cases[] = {
      {"new.db", true,
       "new.db: the history database has schema version 7, newer than this varnox reads (1): use a newer "
       "varnox"},
      {"new.db", false,
       "new.db: the history database has schema version 7, newer than this varnox reads (1): use a newer "
       "varnox"},
      {"other.db", true, "other.db: not a history database: it holds tables of its own"},
      {"other.db", false, "other.db: not a history database (it has no schema version)"},
      {"text.db", true, "text.db: cannot use the history database: file is not a database"},
      {"missing.db", false, "missing.db: no history database there"},
  };
  for (const Case& c : cases) {
    error.clear();
    auto db = c.writing ? HistoryDatabase::openForWriting(path(c.file), error)
                        : HistoryDatabase::openForReading(path(c.file), error);
    EXPECT_FALSE(db) << c.file;
    EXPECT_EQ(error, path(c.message.substr(0, c.message.find(':'))) + c.message.substr(c.message.find(':')));
  }
  EXPECT_EQ(sql(path("other.db"), "SELECT count(*) FROM mine"), "1");
  EXPECT_EQ(sql(path("other.db"), "PRAGMA user_version"), "0");
  EXPECT_EQ(testing::readAll(path("text.db")), std::string(200, 'x'));
  EXPECT_FALSE(std::filesystem::exists(path("missing.db")));
}

// Several real varnox processes on one database at once: every run is recorded whole, the
// refused and the interrupted ones too, and any stored run's report can be rebuilt.
TEST_F(History, ConcurrentRunsAppendToOneDatabase) {
  const std::string db = path("runs.db");
  std::string test = testing::readAll(std::string(VARNOX_SOURCE_DIR) + "/tests/runner/cases/tiny.toml");
  test.replace(test.find("passes = 400"), 12, "passes = 3000");
  const std::string toml = file("t.toml", test);
  const std::string endless =
      file("endless.toml", "[test]\nduration = \"1h\"\n[[drive]]\ndevice = \"" + path("d.img") +
                               "\"\ncapacity = \"1MiB\"\nprecondition = true\n");
  std::vector<std::vector<std::string>> commands;
  constexpr int kPassing = 6;
  for (int i = 0; i < kPassing; ++i)
    commands.push_back({"run", toml, "--seed", std::to_string(i + 1), "--db", db, "--interval", "200ms",
                        "--output", path("o" + std::to_string(i))});
  commands.push_back({"run", path("none.toml"), "--db", db});               // refused: no test file
  commands.push_back({"run", toml, "--set", "No Such Key=1", "--db", db});  // refused by the agent
  commands.push_back(
      {"run", endless, "--seed", "9", "--db", db, "--interval", "200ms"});  // interrupted below
  std::vector<pid_t> children;
  int cue[2];
  ASSERT_EQ(::pipe(cue), 0);
  for (size_t i = 0; i < commands.size(); ++i) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::vector<const char*> argv{VARNOX_BIN};
      for (const std::string& a : commands[i]) argv.push_back(a.c_str());
      argv.push_back(nullptr);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(i + 1 == commands.size() ? cue[1] : null, 2);
      ::execv(VARNOX_BIN, const_cast<char* const*>(argv.data()));
      ::_exit(127);
    }
    children.push_back(child);
  }
  ::close(cue[1]);
  // The endless run has taken the signals over once it has preconditioned its file.
  std::string said;
  char ch;
  while (said.find("preconditioned") == std::string::npos && ::read(cue[0], &ch, 1) == 1) said += ch;
  // It is stopped once the others are done, so it ran beside all of them.
  std::vector<int> statuses;
  for (size_t i = 0; i < children.size(); ++i) {
    if (i + 1 == children.size()) ::kill(children[i], SIGTERM);
    int status = 0;
    ::waitpid(children[i], &status, 0);
    statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  ::close(cue[0]);
  for (int i = 0; i < kPassing; ++i) EXPECT_EQ(statuses[i], 0) << i;
  EXPECT_EQ(statuses[kPassing], 2);
  EXPECT_EQ(statuses[kPassing + 1], 2);
  EXPECT_EQ(statuses[kPassing + 2], 143) << said;

  EXPECT_EQ(sql(db, "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(sql(db, "SELECT count(*) FROM runs"), std::to_string(commands.size()));
  EXPECT_EQ(sql(db, "SELECT count(*) FROM runs WHERE result = 'passed' AND document LIKE '{%}%'"),
            std::to_string(kPassing));
  EXPECT_EQ(sql(db, "SELECT count(*) FROM runs WHERE result = 'refused' AND error <> ''"), "2");
  EXPECT_EQ(
      sql(db, "SELECT count(*) FROM runs WHERE result = 'interrupted by SIGTERM' AND exit_status = 143"),
      "1");
  // Every passing run has its drive, its latency per command kind and its run over time.
  EXPECT_EQ(sql(db, "SELECT count(DISTINCT run_id) FROM drives WHERE passes = 3000"),
            std::to_string(kPassing));
  EXPECT_EQ(sql(db,
                "SELECT count(DISTINCT run_id) FROM latency WHERE kind = 'Write' AND count > 0 AND run_id IN "
                "(SELECT id FROM runs WHERE result = 'passed')"),
            std::to_string(kPassing));
  // The run over time has a row per interval: every run that lasted one has them.
  EXPECT_EQ(
      sql(db, "SELECT count(*) FROM runs WHERE seconds >= 0.2 AND id NOT IN (SELECT run_id FROM series)"),
      "0");
  EXPECT_EQ(sql(db, "SELECT count(*) FROM runs WHERE seed = 3 AND result = 'passed'"), "1");

  const testing::CliResult list = testing::runCli({"history", db, "--result", "passed"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 1 + 2 * kPassing) << list.out;
  const std::string id = sql(db, "SELECT id FROM runs WHERE seed = 3");
  const testing::CliResult rebuilt =
      testing::runCli({"history", db, "--run", id, "--report", path("r.html")});
  EXPECT_EQ(rebuilt.status, 0) << rebuilt.err;
  EXPECT_NE(testing::readAll(path("r.html")).find("--seed 3"), std::string::npos);
  const testing::CliResult missing =
      testing::runCli({"history", db, "--run", "999", "--report", path("x.html")});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "varnox: " + db + ": no finished run 999 (varnox history " + db + " lists them)\n");
}

}  // namespace
}  // namespace varnox::cli
