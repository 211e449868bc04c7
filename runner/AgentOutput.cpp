#include "AgentOutput.h"

#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "Summary.h"

namespace varnox::cli {

int agentLineLevel(const std::string& line) {
  for (const char* prefix : {"<E> ", "hash compare fail", "atomic data ordering failure lba:", "Assertion failed"})
    if (line.rfind(prefix, 0) == 0) return 2;
  return line.rfind("<W> ", 0) == 0 ? 1 : 0;
}

void countLogLines(SummaryInput& summary, const std::string& logFile, size_t agentWarnings, size_t agentErrors) {
  summary.logCounted = true;
  summary.logFile = logFile;
  summary.logWarnings = agentWarnings;
  summary.logErrors = agentErrors;
  for (const DriveReport& d : summary.report->drives) {
    summary.logWarnings += d.logWarnings;
    summary.logErrors += d.logErrors;
  }
}

AgentOutput::AgentOutput(std::shared_ptr<LogSink> sink, const std::string& source) : log_(source, std::move(sink)) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(stdout);
  std::fflush(stderr);
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return;
  savedOut_ = ::dup(1);
  savedErr_ = ::dup(2);
  if (savedOut_ < 0 || savedErr_ < 0 || ::dup2(pipeFds[1], 1) < 0 || ::dup2(pipeFds[1], 2) < 0) {
    if (savedOut_ >= 0) ::dup2(savedOut_, 1), ::close(savedOut_);
    if (savedErr_ >= 0) ::dup2(savedErr_, 2), ::close(savedErr_);
    savedOut_ = savedErr_ = -1;
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return;
  }
  ::close(pipeFds[1]);  // 1 and 2 now hold the write end: restoring them ends the stream
  const int terminalFd = ::dup(savedErr_);
  if (terminalFd >= 0) terminal_ = ::fdopen(terminalFd, "w");
  const int readFd = pipeFds[0];
  reader_ = std::thread([this, readFd] {
    std::string pending;
    char buffer[4096];
    for (ssize_t n; (n = ::read(readFd, buffer, sizeof buffer)) != 0;) {
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      pending.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        const std::string line = pending.substr(0, end);
        if (!line.empty()) log_.log(agentLineLevel(line), line);
      }
    }
    if (!pending.empty()) log_.log(agentLineLevel(pending), pending);
    ::close(readFd);
  });
}

AgentOutput::~AgentOutput() { stop(); }

void AgentOutput::stop() {
  if (savedOut_ < 0) return;
  std::cout.flush();
  std::cerr.flush();
  std::fflush(stdout);
  std::fflush(stderr);
  ::dup2(savedOut_, 1);
  ::dup2(savedErr_, 2);
  ::close(savedOut_);
  ::close(savedErr_);
  savedOut_ = savedErr_ = -1;
  if (reader_.joinable()) reader_.join();
  if (terminal_ != nullptr) std::fclose(terminal_);
  terminal_ = nullptr;
}

}  // namespace varnox::cli
