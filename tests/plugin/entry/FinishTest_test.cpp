#include "entry/FinishTest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <cstring>
#include <fstream>

#include "plugin/TestData.h"
#include "support/AgentFixture.h"
#include "support/TempDir.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

namespace fs = std::filesystem;

std::unique_ptr<ByteBuffer> bytesOf(const std::string& text) {
  auto buffer = std::make_unique<ByteBuffer>();
  EXPECT_EQ(buffer->grow(text.size()), 0);
  std::memcpy(buffer->data, text.data(), text.size());
  buffer->size = text.size();
  return buffer;
}

// A drive D0 set up with a small bucket table, a trace and, on request, a captured miscompare at
// LBA 0x104; every file goes under a temporary directory.
class FinishTestTest : public testing::TempDirTest {
 protected:
  static AgentFixtureOptions drive512on4k() {
    AgentFixtureOptions options;
    options.drive.driveName = "D0";
    options.drive.log2LogicalPerPhysical = 3;  // 4096-byte physical blocks
    return options;
  }
  void SetUp() override {
    TempDirTest::SetUp();
    ASSERT_EQ(f_.setupWith({{"Bucket Count", "4"}, {"Miscompare Output Path", path("x/run1")}}), 0);
    drive_->commandTrace->recordWriteIssued(0x100, 8, 1, 0, 0x10);
    drive_->commandTrace->recordWriteIssued(0x108, 8, 2, 1, 0x18);
  }
  void captureMiscompare() {
    drive_->commandTrace->recordMiscompare(0x104, 0x14, 0x80001, 3, false);
    drive_->miscompareSeen = true;
    drive_->miscompareLba = 0x104;
    drive_->miscompareDriveBytes = bytesOf("drive block");
    drive_->miscompareReferenceBytes = bytesOf("reference block");
  }
  std::vector<std::string> logTexts() { return thread_.eventLog().texts(); }
  // The lines of a miscompare's three files under `base` (with `suffix`).
  std::vector<std::string> savedLines(const std::string& base, const std::string& suffix = "") {
    return {"Bucket compare command sequence saved to '" + base + "_trace_D0.txt" + suffix + "'",
            "Miscompare Data Written To '" + base + "_drive_D0.bin" + suffix + "'",
            "Miscompare Data Written To '" + base + "_reference_D0.bin" + suffix + "'"};
  }

  AgentFixture f_{drive512on4k()};
  DriveThread& thread_ = f_.thread();
  ConfigData& config_ = f_.config();
  DriveData* drive_ = &f_.drive();
};

TEST_F(FinishTestTest, MiscompareWritesTraceDriveAndReferenceFilesInOrder) {
  captureMiscompare();
  ASSERT_TRUE(drive_->writeData->allocate(64));  // the last write's data, owned by the buffer
  finishTest(&thread_, &config_, drive_);

  EXPECT_EQ(drive_->writeData->data, drive_->sectorBuckets.get());
  EXPECT_EQ(drive_->writeData->size, 512u * 4u);
  EXPECT_FALSE(drive_->writeData->ownsData);

  EXPECT_EQ(logTexts(), savedLines(path("x/run1")));
  for (const auto& line : thread_.eventLog().lines()) EXPECT_EQ(line.level, 2) << line.text;

  EXPECT_EQ(readAll(path("x/run1_drive_D0.bin")), "drive block");
  EXPECT_EQ(readAll(path("x/run1_reference_D0.bin")), "reference block");
  // 512-byte blocks on 4096-byte media: the write next to the failing LBA is another media block.
  const std::string dump = readAll(path("x/run1_trace_D0.txt"));
  EXPECT_EQ(dump.rfind("Dump of all commands that include the miscompare LBA 0x0000000000000104:\n"
                       " * indicates media block overlap\n",
                       0),
            0u);
  EXPECT_EQ(dump.find(" *\n"), std::string::npos);

  // A second finish keeps the first files and writes suffixed ones.
  finishTest(&thread_, &config_, drive_);
  const auto again = logTexts();
  EXPECT_EQ(std::vector<std::string>(again.begin() + 3, again.end()), savedLines(path("x/run1"), ".000"));
  EXPECT_EQ(readAll(path("x/run1_drive_D0.bin.000")), "drive block");
}

TEST_F(FinishTestTest, WithoutMiscompareOnlyASpliceOrTheOptionDumpsTheSequence) {
  finishTest(&thread_, &config_, drive_);
  finishTest(&thread_, &config_, nullptr);
  finishTest(&thread_, nullptr, drive_);
  EXPECT_TRUE(logTexts().empty());
  EXPECT_FALSE(fs::exists(path("x")));

  drive_->spliceDetected = true;
  finishTest(&thread_, &config_, drive_);
  ASSERT_EQ(thread_.eventLog().lines().size(), 1u);
  EXPECT_EQ(thread_.eventLog().lines()[0].level, 0);
  EXPECT_EQ(logTexts()[0], "Bucket compare command sequence saved to '" + path("x/run1_trace_D0.txt") + "'");
  EXPECT_EQ(readAll(path("x/run1_trace_D0.txt")).rfind("\nDump of the full command sequence:\n", 0), 0u);
  EXPECT_FALSE(fs::exists(path("x/run1_drive_D0.bin")));

  // "Always Dump Sequence" with an empty output path: the default base in the current directory.
  drive_->spliceDetected = false;
  config_.alwaysDumpSequence = true;
  config_.miscompareOutputPath.clear();
  fs::current_path(dir_);
  finishTest(&thread_, &config_, drive_);
  ASSERT_EQ(logTexts().size(), 2u);
  EXPECT_EQ(logTexts()[1], "Bucket compare command sequence saved to './datacompare_trace_D0.txt'");
  EXPECT_TRUE(fs::is_regular_file(path("datacompare_trace_D0.txt")));
}

TEST_F(FinishTestTest, UncreatableDirectoryFallsBackToTheCurrentDirectory) {
  captureMiscompare();
  std::ofstream(path("blocker")) << "a file where the directory should be";
  config_.miscompareOutputPath = path("blocker/run1");
  fs::create_directories(path("cwd"));
  std::ofstream(path("cwd/run1_drive_D0.bin")) << "an earlier run's";  // the fallback name is made unique too
  fs::current_path(path("cwd"));
  finishTest(&thread_, &config_, drive_);

  std::vector<std::string> expected = savedLines(path("cwd/run1"));
  expected.insert(expected.begin(), "Could not use specifed file path, using temp file instead");
  expected[2] = "Miscompare Data Written To '" + path("cwd/run1_drive_D0.bin.000") + "'";
  EXPECT_EQ(logTexts(), expected);
  EXPECT_EQ(readAll(path("cwd/run1_reference_D0.bin")), "reference block");
}

TEST(FinishMediaMaskTest, MaskCoversOnePhysicalBlockInTheLowerHalf) {
  for (const auto& row : caseRows("entry/cases/media_masks.txt")) {
    DriveProperties p;
    p.logicalBlockSize = std::stoul(row[0]);
    p.log2LogicalPerPhysical = std::stoul(row[1]);
    p.protectionInfoEnabled = row[2] == "true";
    EXPECT_EQ(mediaBlockMask(DriveThread(p)), std::stoull(row[3], nullptr, 16)) << row[0] << "/" << row[1];
  }
}

}  // namespace
}  // namespace varnox::testing
