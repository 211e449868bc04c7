// Whole runs on a file: the quick example through the command line, and a block changed in the
// file behind the runner's back, which the read-back has to catch at its LBA.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "TestFile.h"
#include "varnox/DriveThread.h"
#include "varnox/TestRun.h"

namespace varnox::blockdev {
namespace {

namespace fs = std::filesystem;

// The corrupting agent runs on the passes where Cardamor chose a read-back, before the read is
// sent: it flips one byte of the first block to be read, in the file itself. That block's write
// has completed (only completed writes are read back); a newer write still in flight may cover
// the change again, so every read-back gets one and the first that survives must be reported.
struct Corruption {
  std::string file;
  uint32_t blockBytes = 512;
  std::set<uint64_t> lbas;
};
Corruption gCorruption;

struct CorruptDrive {
  uint64_t* lba = nullptr;
};

int corruptRegisterDrive(DriveThread* thread) {
  auto* d = new CorruptDrive;
  int err = 0;
  d->lba = thread->mapU64("LBA", kVarRead, &err, 0);
  if (err == 0) err = thread->registerDriveData(d);
  if (err != 0) delete d;
  return err;
}

int corruptExecute(DriveThread*, void*, void* drive) {
  auto* d = static_cast<CorruptDrive*>(drive);
  int fd = ::open(gCorruption.file.c_str(), O_RDWR);
  if (fd < 0) return 0;
  const off_t offset = static_cast<off_t>(*d->lba * gCorruption.blockBytes + 100);
  uint8_t byte = 0;
  if (::pread(fd, &byte, 1, offset) == 1) {
    byte ^= 0x5A;
    if (::pwrite(fd, &byte, 1, offset) == 1) gCorruption.lbas.insert(*d->lba);
  }
  ::close(fd);
  return 0;
}

int corruptRegisterConfig(ConfigManager*) { return 0; }
void corruptDeleteDrive(void* drive) { delete static_cast<CorruptDrive*>(drive); }

AgentTable corruptTable() {
  AgentTable table{};
  table.execute = corruptExecute;
  table.registerConfig = corruptRegisterConfig;
  table.registerDriveVariables = corruptRegisterDrive;
  table.deleteDriveData = corruptDeleteDrive;
  return table;
}

class FileRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("varnox_filerun_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // Cardamor by its bare name, as the examples use it.
    ::setenv("VARNOX_AGENT_PATH", fs::path(CARDAMOR_SO_PATH).parent_path().c_str(), 1);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST_F(FileRun, QuickExamplePassesOnAFileAtTheSmallestAndLargestBlocks) {
  std::ifstream in(std::string(VARNOX_SOURCE_DIR) + "/examples/quick.toml");
  std::stringstream quick;
  quick << in.rdbuf();
  struct Case {
    const char* blockSize;
    const char* blocks;
    bool precondition;
  };
  for (const Case& c : {Case{"512", "131072", false}, Case{"65536", "1024", true}}) {
    const std::string image = path(std::string("quick-") + c.blockSize + ".img");
    std::string text = replaced(quick.str(), "device = \"sim\"", "device = \"" + image + "\"");
    text = replaced(text, "capacity = \"1GiB\"", "capacity = \"64MiB\"");
    text = replaced(text, "block_size = 512 ", std::string("block_size = ") + c.blockSize + " ");
    if (c.precondition) text = replaced(text, "queue_depth = 32 ", "precondition = true\nqueue_depth = 32 ");
    const std::string test = path("quick.toml");
    std::ofstream(test) << text;

    std::vector<std::string> args = {"varnox", "run", test, "--passes", "3000", "--seed", "9"};
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    int status = cli::runVarnox(static_cast<int>(argv.size()), argv.data(), out, err);
    ASSERT_EQ(status, kExitPassed) << err.str() << out.str();
    EXPECT_NE(out.str().find("file " + image + ", " + c.blocks + " x " + c.blockSize + "-byte blocks"),
              std::string::npos)
        << out.str();
    // A file's drive takes the seed the repeat line gives, as a simulated drive does.
    EXPECT_NE(out.str().find("  drive seed    9\n"), std::string::npos) << out.str();
    EXPECT_EQ(fs::file_size(image), 64u << 20);
    EXPECT_EQ(err.str().find("preconditioned 64.0 MiB in ") != std::string::npos, c.precondition) << err.str();
  }
}

TEST_F(FileRun, AByteChangedInTheFileIsCaughtAtItsLba) {
  gCorruption = Corruption{};
  gCorruption.file = path("corrupt.img");
  const std::string text = std::string(R"(
[test]
passes = 3000
[[drive]]
device = ")") + gCorruption.file + R"("
capacity = "64MiB"
queue_depth = 8
[[flow]]
agent = "lba"
max_xfer = 8
[[flow]]
agent = "cardamor"
[[flow]]
command = "write"
condition = "write"
[[flow]]
command = "read"
condition = "read"
[[flow]]
command = "getstatus"
[cardamor]
"Write Condition" = "write"
"Read Condition" = "read"
"Min Queue Size" = 4
"Max Queue Size" = 16
"Bucket Count" = 1024
)";
  TestPlan plan;
  std::string error;
  ASSERT_TRUE(cli::parseTestFile(text, "corrupt.toml", plan, error)) << error;
  StepSpec corrupt;
  corrupt.kind = StepSpec::Kind::Agent;
  corrupt.name = "corrupt";
  corrupt.condition = "read";
  ASSERT_EQ(plan.flow.size(), 5u);
  ASSERT_EQ(plan.flow[3].kind, StepSpec::Kind::Read);
  plan.flow.insert(plan.flow.begin() + 3, corrupt);  // after Cardamor has set "LBA", before the read
  plan.keys.emplace_back("Miscompare Output Path", (dir_ / "run").string());  // never the working directory

  TestRun run;
  run.addAgent("corrupt", corruptTable());
  ASSERT_EQ(run.prepare(plan, error), kExitPassed) << error;
  RunReport report = run.run();
  ASSERT_FALSE(gCorruption.lbas.empty());
  EXPECT_EQ(report.exitStatus, kExitIntegrityFailure) << report.error;
  ASSERT_EQ(report.drives.size(), 1u);
  const std::string& failure = report.drives[0].failureText;
  const std::string prefix = "Miscompare Detected at LBA 0x";
  size_t at = failure.find(prefix);
  ASSERT_NE(at, std::string::npos) << failure;
  const uint64_t lba = std::strtoull(failure.c_str() + at + prefix.size(), nullptr, 16);
  EXPECT_EQ(gCorruption.lbas.count(lba), 1u) << failure << " is not a changed block";
}

}  // namespace
}  // namespace varnox::blockdev
