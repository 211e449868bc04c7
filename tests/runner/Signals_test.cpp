// The varnox program stopped by a signal while a run is under way: the summary still comes, it
// says which signal cut the run short and what had been checked, and the exit status is the
// signal's, so a killed run never reads as passed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "support/TempDir.h"
#include "varnox/TestRun.h"

namespace varnox::cli {
namespace {

std::string readAll(int fd) {
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  return text;
}

using Signals = testing::TempDirTest;

TEST_F(Signals, ASignalStopsTheRunWithItsOwnExitStatusAfterTheSummary) {
  // Preconditioning announces itself once the run has taken the signals over: the cue to send one.
  const std::string test = file("t.toml", "[test]\nduration = \"1h\"\n[[drive]]\ndevice = \"" + path("d.img") +
                                              "\"\ncapacity = \"1MiB\"\nprecondition = true\n");
  struct Case {
    int signal;
    int status;
    const char* name;
  };
  for (const Case& c : {Case{SIGINT, kExitInterrupted, "SIGINT"}, Case{SIGTERM, kExitTerminated, "SIGTERM"},
                        Case{SIGHUP, kExitHangup, "SIGHUP"}}) {
    int out[2], err[2];
    ASSERT_EQ(::pipe(out), 0);
    ASSERT_EQ(::pipe(err), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::execl(VARNOX_BIN, "varnox", "run", test.c_str(), "--seed", "5", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    std::string said;
    char ch;
    while (said.find("preconditioned") == std::string::npos && ::read(err[0], &ch, 1) == 1) said += ch;
    ::kill(child, c.signal);
    const std::string summary = readAll(out[0]);
    said += readAll(err[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(out[0]);
    ::close(err[0]);
    ASSERT_TRUE(WIFEXITED(status)) << c.name << ": " << said;
    EXPECT_EQ(WEXITSTATUS(status), c.status) << c.name << ": " << said;
    EXPECT_NE(said.find(std::string("varnox: ") + c.name + ": stopping after the current pass"), std::string::npos)
        << said;
    EXPECT_NE(summary.find(std::string("Result: interrupted by ") + c.name + " (exit " + std::to_string(c.status) +
                           ") after "),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find(": stopped before its limit, "), std::string::npos) << summary;
  }
}

TEST_F(Signals, ASignalStopsPreconditioningAtOnce) {
  // Filling 4 GiB would take a while; a run that went on to its one pass would end with 0.
  const std::string test = file("t.toml", "[test]\npasses = 1\n[[drive]]\ndevice = \"" + path("d.img") +
                                              "\"\ncapacity = \"4GiB\"\nprecondition = true\n");
  int out[2], err[2];
  ASSERT_EQ(::pipe(out), 0);
  ASSERT_EQ(::pipe(err), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execl(VARNOX_BIN, "varnox", "run", test.c_str(), "--seed", "5", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  // Without a terminal the filling announces itself once, before its first write.
  std::string said;
  char ch;
  while (said.find("preconditioning 4.0 GiB\n") == std::string::npos && ::read(err[0], &ch, 1) == 1)
    said += ch;
  ::kill(child, SIGINT);
  const std::string summary = readAll(out[0]);
  said += readAll(err[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(out[0]);
  ::close(err[0]);
  ASSERT_TRUE(WIFEXITED(status)) << said;
  EXPECT_EQ(WEXITSTATUS(status), kExitInterrupted) << said << summary;
  EXPECT_EQ(said.find("preconditioned"), std::string::npos) << said;
  EXPECT_NE(summary.find("preconditioning stopped after "), std::string::npos) << summary;
  EXPECT_NE(summary.find("Result: interrupted by SIGINT (exit 130) after "), std::string::npos) << summary;
}

}  // namespace
}  // namespace varnox::cli
