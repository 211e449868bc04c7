// The HTML report of a failing run, opened in a real headless browser: the page the browser
// builds must show the verdict, the failing LBA and a highlighted byte of the block's diff, and
// its screenshot must not be blank. Skipped where no browser is installed (scripts/install-deps
// --browser installs one; CI does).
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

TEST(ReportInBrowser, FailingRunShowsVerdictLbaAndHighlightedBytes) {
  const std::string browser = findBrowser();
  if (browser.empty()) GTEST_SKIP() << "no headless browser installed (scripts/install-deps --browser installs one)";
  const fs::path dir = fs::temp_directory_path() / ("varnox-report-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string page = (dir / "report.html").string();
  const std::string file = std::string(VARNOX_SOURCE_DIR) + "/tests/scenarios/faults/corrupt.toml";
  const std::string base = (dir / "run").string();
  std::vector<const char*> argv = {"varnox", "run", file.c_str(), "--seed", "3", "--output", base.c_str(),
                                   "--report", page.c_str()};
  std::ostringstream out, err;
  ASSERT_EQ(cli::runVarnox(static_cast<int>(argv.size()), argv.data(), out, err), 1) << err.str();

  const std::string flags = " --headless --no-sandbox --disable-gpu --hide-scrollbars 2>/dev/null ";
  const std::string dom = run("'" + browser + "'" + flags + "--dump-dom 'file://" + page + "'");
  EXPECT_NE(dom.find("Result: data-integrity failure (exit 1)"), std::string::npos) << dom.substr(0, 2000);
  EXPECT_NE(dom.find("<code class=\"failing-lba\">0x00000000000003E8</code>"), std::string::npos);
  EXPECT_NE(dom.find("<span class=\"diff\">"), std::string::npos);

  const std::string shot = (dir / "report.png").string();
  run("'" + browser + "'" + flags + "--window-size=1280,1600 --screenshot='" + shot + "' 'file://" + page + "'");
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
  if (!HasFailure()) fs::remove_all(dir);
}

}  // namespace
}  // namespace varnox::scenarios
