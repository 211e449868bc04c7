// What is printed is what is returned: an output that cannot be written at the end of a run
// changes its result, and the JSON, written last, carries that failure.
#include "FinalOutputs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ProgressLog.h"
#include "support/TempDir.h"

namespace varnox::cli {
namespace {

using FinalOutputs = testing::TempDirTest;

TEST_F(FinalOutputs, AnOutputThatFailsChangesTheResultAndTheJsonSaysWhy) {
  struct Case {
    int before;
    bool reportFails;
    int after;
  };
  for (const Case& c : {Case{kExitPassed, true, kExitRefused}, Case{kExitPassed, false, kExitPassed},
                        Case{kExitIntegrityFailure, true, kExitIntegrityFailure}}) {
    RunReport report;
    report.exitStatus = c.before;
    const std::string json = path("r.json");
    const std::string html = c.reportFails ? path("gone/r.html") : path("r.html");
    std::ostringstream err;
    writeFinalOutputs({json, html, ""}, nullptr, SummaryInput{"t.toml", &report}, report, err);
    EXPECT_EQ(report.exitStatus, c.after);
    EXPECT_EQ(err.str().find("varnox: --report: ") == 0, c.reportFails) << err.str();
    const std::string written = testing::readAll(json);
    EXPECT_NE(written.find("\"exitStatus\": " + std::to_string(c.after)), std::string::npos) << written;
    EXPECT_EQ(written.find("--report: ") != std::string::npos, c.reportFails) << written;
  }
}

TEST_F(FinalOutputs, ASeriesStreamThatFailedIsAnError) {
  RunReport report;
  std::ofstream csv(path("s.csv"));
  csv.setstate(std::ios::badbit);  // what a full disk leaves behind
  std::ostringstream err;
  writeFinalOutputs({"", "", path("s.csv")}, &csv, SummaryInput{"t.toml", &report}, report, err);
  EXPECT_EQ(report.exitStatus, kExitRefused);
  EXPECT_NE(report.error.find("--series: writing " + path("s.csv") + " failed"), std::string::npos)
      << report.error;
}

TEST(ProgressEta, TimeLeftFromTheDurationOrTheSlowestDrivesPasses) {
  EXPECT_EQ(etaText(10, 60, 0, 0), "eta 50.0 s");
  EXPECT_EQ(etaText(70, 60, 0, 0), "eta 0.0 s");
  EXPECT_EQ(etaText(10, 0, 1000, 250), "eta 30.0 s");
  EXPECT_EQ(etaText(10, 0, 1000, 0), "");
  EXPECT_EQ(etaText(10, 0, 0, 5), "");
}

}  // namespace
}  // namespace varnox::cli
