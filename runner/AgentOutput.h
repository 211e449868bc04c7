#pragma once
// Keeps what agents print on the standard streams out of the terminal while drives run: the
// process's standard output and standard error go to a pipe whose lines join the run's log with
// time, source and level, and are restored before the summary. The progress line draws on the
// terminal the streams had before.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "varnox/EventLog.h"

namespace varnox::cli {

// Level of a line an agent printed: 2 for "<E> ", "hash compare fail", "atomic data ordering
// failure lba:" and failed assertions, 1 for "<W> ", else 0.
int agentLineLevel(const std::string& line);

struct SummaryInput;

// Fills the summary's log line: the log file and the warning and error lines of every drive's log
// and of the agents' printed output.
void countLogLines(SummaryInput& summary, const std::string& logFile, size_t agentWarnings, size_t agentErrors);

class AgentOutput {
 public:
  // `sink` (may be null: the lines are then only counted) gets every line as the log line of
  // `source`: the drive's name when the run has one drive, since a line cannot tell which drive
  // thread printed it, else "agent". Without a pipe nothing is redirected.
  AgentOutput(std::shared_ptr<LogSink> sink, const std::string& source);
  ~AgentOutput();
  AgentOutput(const AgentOutput&) = delete;
  AgentOutput& operator=(const AgentOutput&) = delete;

  // The standard error stream as it was before the redirection (stderr when nothing was
  // redirected).
  std::FILE* terminal() const { return terminal_ != nullptr ? terminal_ : stderr; }
  // Restores both streams and waits for the last line. Idempotent.
  void stop();
  size_t warnings() const { return log_.countAtLevel(1); }
  size_t errors() const { return log_.countAtLevel(2); }

 private:
  EventLog log_;
  int savedOut_ = -1;
  int savedErr_ = -1;
  std::FILE* terminal_ = nullptr;
  std::thread reader_;
};

}  // namespace varnox::cli
