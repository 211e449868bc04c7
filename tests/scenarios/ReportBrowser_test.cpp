// The HTML reports of a passing and a failing run, opened in a real headless browser. Both pages
// start with the verdict, the drive and the charts (throughput, IOPS, latency percentiles per
// command kind) with power cycles and the first failure marked on the time axis; neither has an
// empty table, raw JSON or a camelCase label, and the failing one folds its command sequence at
// the end and shows the failing LBA and a highlighted byte of the block's diff. Screenshots must
// not be blank. Skipped where no browser is installed (scripts/install-deps --browser installs
// one; CI does).
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"

namespace varnox::scenarios {
namespace {

namespace fs = std::filesystem;

std::string findBrowser() {
  const char* path = std::getenv("PATH");
  for (const char* name : {"chromium-headless-shell", "chromium", "chromium-browser"}) {
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
      if (!dir.empty() && ::access((fs::path(dir) / name).c_str(), X_OK) == 0) return (fs::path(dir) / name).string();
  }
  return {};
}

std::string run(const std::string& command) {
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    ::pclose(pipe);
  }
  return output;
}

struct Page {
  std::string dom;
  std::string screenshot;
};

// Renders `page` in the browser: its DOM and a screenshot next to it.
Page render(const std::string& browser, const std::string& page) {
  const std::string flags = " --headless --no-sandbox --disable-gpu --hide-scrollbars 2>/dev/null ";
  Page p;
  p.dom = run("'" + browser + "'" + flags + "--dump-dom 'file://" + page + "'");
  p.screenshot = fs::path(page).replace_extension(".png").string();
  run("'" + browser + "'" + flags + "--window-size=1280,1600 --screenshot='" + p.screenshot + "' 'file://" + page + "'");
  return p;
}

void expectInked(const std::string& shot) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, shot.c_str())) << "no screenshot at " << shot;
  image.format = PNG_FORMAT_GRAY;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
  size_t inked = 0;
  for (uint8_t p : pixels) inked += p < 200;
  // Text, tables and charts: a page of them darkens well over one pixel in a hundred.
  EXPECT_GT(inked, pixels.size() / 100) << "the screenshot is blank: " << shot;
}

size_t at(const std::string& dom, const std::string& what) {
  const size_t where = dom.find(what);
  EXPECT_NE(where, std::string::npos) << "missing: " << what;
  return where;
}

// What both pages must be: the verdict, then the drive, then its charts before any table; the
// latency of every command kind over time; no empty table, raw JSON or camelCase label.
void expectReadable(const std::string& dom, const std::vector<std::string>& kinds) {
  const size_t verdict = at(dom, "id=\"verdict\""), drive = at(dom, "<h2>Drive D0"), chart = at(dom, "<svg");
  EXPECT_LT(verdict, drive);
  EXPECT_LT(drive, chart);
  EXPECT_LT(chart, at(dom, "<h3>Latency</h3>"));
  EXPECT_LT(chart, at(dom, "<h3>Counters</h3>"));
  at(dom, "aria-label=\"Throughput\"");
  at(dom, "aria-label=\"IOPS by command kind\"");
  for (const std::string& kind : kinds) {
    at(dom, "aria-label=\"" + kind + " latency per interval\"");
    EXPECT_NE(dom.find(">p99.9</text>"), std::string::npos);
  }
  at(dom, "<h3>Geometry</h3>");
  at(dom, "<h2>Settings</h2>");
  at(dom, ">Min Queue Size<");
  const std::regex table("<table[^>]*>([\\s\\S]*?)</table>");
  for (auto it = std::sregex_iterator(dom.begin(), dom.end(), table); it != std::sregex_iterator(); ++it)
    EXPECT_NE((*it)[1].str().find("<td"), std::string::npos) << "an empty table: " << it->str().substr(0, 300);
  const std::regex camel("<(th|h2|h3|summary)[^>]*>[^<]*[a-z][A-Z][^<]*<");
  std::smatch label;
  EXPECT_FALSE(std::regex_search(dom, label, camel)) << "a camelCase label: " << label.str();
  EXPECT_EQ(dom.find("{\""), std::string::npos) << "raw JSON on the page";
  EXPECT_EQ(dom.find("<h3>More</h3>"), std::string::npos);
}

class ReportInBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    browser_ = findBrowser();
    if (browser_.empty()) GTEST_SKIP() << "no headless browser installed (scripts/install-deps --browser installs one)";
    dir_ = fs::temp_directory_path() / ("varnox-report-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                                        "-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!HasFailure() && !dir_.empty()) fs::remove_all(dir_);
  }
  int runVarnox(std::vector<std::string> args) {
    args.insert(args.begin(), "varnox");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const int status = cli::runVarnox(static_cast<int>(argv.size()), argv.data(), out, err);
    errors_ = err.str();
    return status;
  }
  std::string browser_;
  fs::path dir_;
  std::string errors_;
};

TEST_F(ReportInBrowser, PassingRunShowsVerdictDriveAndChartsWithPowerCyclesMarked) {
  // Power cut every second on a volatile cache, each after a sync cache: marks on the time axis.
  const std::string test = (dir_ / "cycles.toml").string();
  std::ofstream(test) << "[test]\nduration = \"3s\"\n[[drive]]\ncapacity = \"64MiB\"\nwrite_cache = \"volatile\"\n"
                         "[[flow]]\nagent = \"lba\"\n[[flow]]\nagent = \"cardamor\"\n"
                         "[[flow]]\ncommand = \"write\"\ncondition = \"write\"\n"
                         "[[flow]]\ncommand = \"read\"\ncondition = \"read\"\n"
                         "[[flow]]\ncommand = \"synccache\"\ncondition = \"sync\"\n"
                         "[[flow]]\ncommand = \"powertoggle\"\ncondition = \"power\"\n"
                         "[[flow]]\ncommand = \"getstatus\"\n"
                         "[cardamor]\n\"Write Condition\" = \"write\"\n\"Read Condition\" = \"read\"\n"
                         "\"PowerToggle Freq\" = 1\n\"PowerToggle Condition\" = \"power\"\n\"SyncCache Condition\" = \"sync\"\n";
  const std::string page = (dir_ / "passed.html").string();
  ASSERT_EQ(runVarnox({"run", test, "--seed", "4", "--interval", "500ms", "--report", page}), 0) << errors_;
  const Page p = render(browser_, page);
  EXPECT_NE(p.dom.find("Result: passed (exit 0)"), std::string::npos) << p.dom.substr(0, 2000);
  expectReadable(p.dom, {"Write", "Read"});
  EXPECT_NE(p.dom.find("power cycle at"), std::string::npos) << "no power cycle marked";
  EXPECT_EQ(p.dom.find("first failure"), std::string::npos);
  EXPECT_EQ(p.dom.find("<h3>Failure</h3>"), std::string::npos);
  // A sequence dump kept for a legal event (reads passing an older write) comes last, folded.
  if (const size_t dump = p.dom.find("<details"); dump != std::string::npos) {
    EXPECT_EQ(p.dom.find("<section", dump), std::string::npos);
  }
  expectInked(p.screenshot);
}

TEST_F(ReportInBrowser, FailingRunMarksTheFailureAndFoldsTheSequenceAtTheEnd) {
  const std::string page = (dir_ / "failed.html").string();
  const std::string file = std::string(VARNOX_SOURCE_DIR) + "/tests/scenarios/faults/corrupt.toml";
  ASSERT_EQ(runVarnox({"run", file, "--seed", "3", "--output", (dir_ / "run").string(), "--interval", "200ms",
                       "--report", page}),
            1)
      << errors_;
  const Page p = render(browser_, page);
  EXPECT_NE(p.dom.find("Result: data-integrity failure (exit 1)"), std::string::npos) << p.dom.substr(0, 2000);
  expectReadable(p.dom, {"Write", "Read"});
  EXPECT_NE(p.dom.find("<code class=\"failing-lba\">0x00000000000003E8</code>"), std::string::npos);
  EXPECT_NE(p.dom.find("<span class=\"diff\">"), std::string::npos);
  EXPECT_NE(p.dom.find("first failure at"), std::string::npos) << "the failure is not marked on the charts";
  EXPECT_LT(at(p.dom, "<h3>Failure</h3>"), at(p.dom, "<h3>Counters</h3>"));
  // The command sequence comes last, folded: nothing but the end of the page after it.
  const size_t dump = at(p.dom, "<details class=\"dump\">");
  EXPECT_EQ(p.dom.find("<section", dump), std::string::npos);
  EXPECT_EQ(p.dom.find("<details", 0), dump);
  expectInked(p.screenshot);
}

}  // namespace
}  // namespace varnox::scenarios
