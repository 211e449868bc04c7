#pragma once
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace varnox {

// Where the lines of every drive's log go besides memory: the terminal and the run's log file.
// Shared by the drives of a test, so it locks.
class LogSink {
 public:
  // `terminal` may be null (quiet); `file` may be null (no log file). Neither is owned.
  LogSink(FILE* terminal, FILE* file) : terminal_(terminal), file_(file) {}
  void write(const std::string& line);
  // Minimum level shown on the terminal (the file gets every line).
  void setTerminalLevel(int level) { terminalLevel_ = level; }
  void writeLevel(int level, const std::string& line);

 private:
  std::mutex mutex_;
  FILE* terminal_;
  FILE* file_;
  int terminalLevel_ = 0;
};

// One drive's event log: one line per logf with time, drive name, level and text.
// Levels: 2 error, 1 warning, 0 information.
class EventLog {
 public:
  struct Line {
    uint64_t timeNs;  // monotonic nanoseconds since the log was created
    int level;
    std::string text;
  };

  explicit EventLog(std::string driveName, std::shared_ptr<LogSink> sink = nullptr);

  void logf(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void vlogf(int level, const char* format, va_list args);
  void log(int level, const std::string& text);

  // Text of a host error number; unknown numbers get a generic text with the number.
  static const char* errStr(int code);

  const std::string& driveName() const { return driveName_; }
  std::vector<Line> lines() const;
  // The texts alone, in order, for tests and summaries.
  std::vector<std::string> texts() const;
  size_t countAtLevel(int level) const;
  // Formats a line as it appears on the terminal and in the log file.
  std::string format(const Line& line) const;

 private:
  std::string driveName_;
  std::shared_ptr<LogSink> sink_;
  uint64_t startNs_;
  mutable std::mutex mutex_;  // the runner's progress thread reads while the drive writes
  std::vector<Line> lines_;
};

}  // namespace varnox
