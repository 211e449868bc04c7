#include "entry/FinishTest.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "trace/CommandTrace.h"
#include "varnox/DriveThread.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

namespace fs = boost::filesystem;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::unique_ptr<ByteBuffer> bytesOf(const char* text) {
  auto buffer = std::make_unique<ByteBuffer>();
  const size_t n = std::strlen(text);
  EXPECT_EQ(buffer->grow(n), 0);
  std::memcpy(buffer->data, text, n);
  buffer->size = n;
  return buffer;
}

DriveProperties drive512on4k() {
  DriveProperties p;
  p.driveName = "D0";
  p.logicalBlockSize = 512;
  p.log2LogicalPerPhysical = 3;  // 4096-byte physical blocks
  return p;
}

// A drive D0 registered with the host, with a trace, a small bucket table and, on request, a
// captured miscompare at LBA 0x104; every file goes under a temporary directory.
class FinishTestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / fs::unique_path("cardamor-finish-%%%%-%%%%");
    fs::create_directories(dir_);
    oldCwd_ = fs::current_path();
    ASSERT_EQ(registerDriveVariables(&thread_), 0);
    drive_ = static_cast<DriveData*>(thread_.driveData());
    config_.bucketCount = 4;
    config_.miscompareOutputPath = at("x/run1");
    drive_->sectorBuckets = allocateByteArray(uint64_t{512} * config_.bucketCount, true);
    drive_->commandTrace = CommandTrace::create(2000);
    drive_->commandTrace->recordWriteIssued(0x100, 8, 1, 0, 0x10);
    drive_->commandTrace->recordWriteIssued(0x108, 8, 2, 1, 0x18);
  }
  void TearDown() override {
    fs::current_path(oldCwd_);
    thread_.clearDriveData();
    deleteDriveData(drive_);
    boost::system::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void captureMiscompare() {
    drive_->commandTrace->recordMiscompare(0x104, 0x14, 0x80001, 3, false);
    drive_->miscompareSeen = true;
    drive_->miscompareLba = 0x104;
    drive_->miscompareDriveBytes = bytesOf("drive block");
    drive_->miscompareReferenceBytes = bytesOf("reference block");
  }
  std::string at(const std::string& name) const { return (dir_ / name).string(); }
  std::vector<std::string> logTexts() { return thread_.eventLog().texts(); }

  DriveThread thread_{drive512on4k()};
  ConfigData config_;
  DriveData* drive_ = nullptr;
  fs::path dir_;
  fs::path oldCwd_;
};

TEST_F(FinishTestTest, MiscompareWritesTraceDriveAndReferenceFilesInOrder) {
  captureMiscompare();
  ASSERT_TRUE(drive_->writeData->allocate(64));  // the last write's data, owned by the buffer
  finishTest(&thread_, &config_, drive_);

  EXPECT_EQ(drive_->writeData->data, drive_->sectorBuckets.get());
  EXPECT_EQ(drive_->writeData->size, 512u * 4u);
  EXPECT_FALSE(drive_->writeData->ownsData);

  const auto lines = thread_.eventLog().lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "Bucket compare command sequence saved to '" + at("x/run1_trace_D0.txt") + "'");
  EXPECT_EQ(lines[1].text, "Miscompare Data Written To '" + at("x/run1_drive_D0.bin") + "'");
  EXPECT_EQ(lines[2].text, "Miscompare Data Written To '" + at("x/run1_reference_D0.bin") + "'");
  for (const auto& line : lines) EXPECT_EQ(line.level, 2) << line.text;

  EXPECT_EQ(readFile(at("x/run1_drive_D0.bin")), "drive block");
  EXPECT_EQ(readFile(at("x/run1_reference_D0.bin")), "reference block");
  // 512-byte blocks on 4096-byte media: the write next to the failing LBA is another media block.
  const std::string dump = readFile(at("x/run1_trace_D0.txt"));
  EXPECT_EQ(dump.rfind("Dump of all commands that include the miscompare LBA 0x0000000000000104:\n"
                       " * indicates media block overlap\n",
                       0),
            0u);
  EXPECT_EQ(dump.find(" *\n"), std::string::npos);

  // A second finish keeps the first files and writes suffixed ones.
  finishTest(&thread_, &config_, drive_);
  const auto again = logTexts();
  ASSERT_EQ(again.size(), 6u);
  EXPECT_EQ(again[3], "Bucket compare command sequence saved to '" + at("x/run1_trace_D0.txt.000") + "'");
  EXPECT_EQ(again[4], "Miscompare Data Written To '" + at("x/run1_drive_D0.bin.000") + "'");
  EXPECT_EQ(again[5], "Miscompare Data Written To '" + at("x/run1_reference_D0.bin.000") + "'");
  EXPECT_EQ(readFile(at("x/run1_drive_D0.bin.000")), "drive block");
}

TEST_F(FinishTestTest, WithoutMiscompareOnlyASpliceOrTheOptionDumpsTheSequence) {
  finishTest(&thread_, &config_, drive_);
  finishTest(&thread_, &config_, nullptr);
  finishTest(&thread_, nullptr, drive_);
  EXPECT_TRUE(logTexts().empty());
  EXPECT_FALSE(fs::exists(at("x")));

  drive_->spliceDetected = true;
  finishTest(&thread_, &config_, drive_);
  ASSERT_EQ(thread_.eventLog().lines().size(), 1u);
  EXPECT_EQ(thread_.eventLog().lines()[0].level, 0);
  EXPECT_EQ(logTexts()[0], "Bucket compare command sequence saved to '" + at("x/run1_trace_D0.txt") + "'");
  EXPECT_EQ(readFile(at("x/run1_trace_D0.txt")).rfind("\nDump of the full command sequence:\n", 0), 0u);
  EXPECT_FALSE(fs::exists(at("x/run1_drive_D0.bin")));

  // "Always Dump Sequence" with an empty output path: the default base in the current directory.
  drive_->spliceDetected = false;
  config_.alwaysDumpSequence = true;
  config_.miscompareOutputPath.clear();
  fs::current_path(dir_);
  finishTest(&thread_, &config_, drive_);
  ASSERT_EQ(logTexts().size(), 2u);
  EXPECT_EQ(logTexts()[1], "Bucket compare command sequence saved to './datacompare_trace_D0.txt'");
  EXPECT_TRUE(fs::is_regular_file(at("datacompare_trace_D0.txt")));
}

TEST_F(FinishTestTest, UncreatableDirectoryFallsBackToTheCurrentDirectory) {
  captureMiscompare();
  std::ofstream(at("blocker")) << "a file where the directory should be";
  config_.miscompareOutputPath = at("blocker/run1");
  fs::create_directories(at("cwd"));
  fs::current_path(at("cwd"));
  finishTest(&thread_, &config_, drive_);

  const auto texts = logTexts();
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts[0], "Could not use specifed file path, using temp file instead");
  EXPECT_EQ(texts[1], "Bucket compare command sequence saved to '" + at("cwd/run1_trace_D0.txt") + "'");
  EXPECT_EQ(texts[2], "Miscompare Data Written To '" + at("cwd/run1_drive_D0.bin") + "'");
  EXPECT_EQ(texts[3], "Miscompare Data Written To '" + at("cwd/run1_reference_D0.bin") + "'");
  EXPECT_EQ(readFile(at("cwd/run1_reference_D0.bin")), "reference block");
}

TEST(FinishMediaMaskTest, MaskCoversOnePhysicalBlockInTheLowerHalf) {
  DriveProperties p;
  p.logicalBlockSize = 512;
  p.log2LogicalPerPhysical = 3;
  EXPECT_EQ(mediaBlockMask(DriveThread(p)), 0x00000000FFFFFFF8ull);
  p.log2LogicalPerPhysical = 4;
  EXPECT_EQ(mediaBlockMask(DriveThread(p)), 0x00000000FFFFFFF0ull);
  p.log2LogicalPerPhysical = 0;  // no physical-size information
  EXPECT_EQ(mediaBlockMask(DriveThread(p)), 0x00000000FFFFFFFFull);
  p.logicalBlockSize = 4096;
  p.protectionInfoEnabled = true;  // a sector of 4104 bytes is larger than the physical block
  EXPECT_EQ(mediaBlockMask(DriveThread(p)), 0x00000000FFFFFFFFull);
  p.logicalBlockSize = 0;
  p.protectionInfoEnabled = false;
  EXPECT_EQ(mediaBlockMask(DriveThread(p)), ~uint64_t{0});
}

}  // namespace
}  // namespace varnox::testing
