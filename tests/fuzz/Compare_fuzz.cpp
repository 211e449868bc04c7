// The agent's compare path on read data the drive did not hold. The real agent, through its
// agent table, writes and reads back on the host's simulated drive; the first read that comes
// back GOOD has the input laid over its data before the agent sees it: two bytes choose the
// offset, the rest are the bytes. The run must fail with a data-integrity failure exactly when
// that changed the data, and pass when it did not. The drive takes one command at a time, so
// every block read has one content the agent may accept.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "FuzzCheck.h"
#include "entry/Entry.h"
#include "varnox/DriveThread.h"
#include "varnox/TestRun.h"

namespace {

using varnox::fuzz::fuzzCheck;
namespace fs = std::filesystem;

// The input and what the overlay did with it; the overlay agent's state for the one drive.
struct Overlay {
  const uint8_t* data = nullptr;
  size_t size = 0;
  uint32_t* lastTag = nullptr;
  uint32_t* lastStatus = nullptr;
  varnox::TaggedBuffer* readData = nullptr;
  varnox::TaggedBuffer* recvCdb = nullptr;
  bool applied = false;
  bool changed = false;
} overlay;

// It stands in for the drive, so it maps the read data as a reader: the agent sees no other writer.
int overlayRegister(varnox::DriveThread* thread) {
  int err = 0;
  overlay.lastTag = thread->mapU32("LastTagID", varnox::kVarRead, &err, 255);
  overlay.lastStatus = thread->mapU32("LastStatusByte", varnox::kVarRead, &err, 0xFFFFFFFF);
  overlay.readData = thread->mapTaggedBuffer("ReadDataPtr[TagID]", varnox::kVarRead, &err);
  overlay.recvCdb = thread->mapTaggedBuffer("RecvCDB[TagID]", varnox::kVarRead, &err);
  return err;
}

int overlayExecute(varnox::DriveThread*, void*, void*) {
  constexpr uint8_t kRead16 = 0x88;
  uint64_t cdbSize = 0, size = 0;
  const uint8_t* cdb = overlay.recvCdb->getData(*overlay.lastTag, &cdbSize);
  if (overlay.applied || *overlay.lastStatus != 0 || cdbSize == 0 || cdb[0] != kRead16) return 0;
  uint8_t* read = overlay.readData->getData(*overlay.lastTag, &size);
  if (size == 0) return 0;
  overlay.applied = true;
  if (overlay.size < 2) return 0;
  const uint64_t offset = (overlay.data[0] | overlay.data[1] << 8) % size;
  const uint64_t length = std::min<uint64_t>(overlay.size - 2, size - offset);
  overlay.changed = std::memcmp(read + offset, overlay.data + 2, length) != 0;
  std::memcpy(read + offset, overlay.data + 2, length);
  return 0;
}

// A miscompare writes the blocks and the command sequence: into a folder of its own, not the
// fuzzer's working directory.
struct OutputFolder {
  fs::path path = fs::temp_directory_path() / ("fuzz_compare-" + std::to_string(getpid()));
  ~OutputFolder() { fs::remove_all(path); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const OutputFolder output;
  fs::remove_all(output.path);
  overlay = Overlay{data, size};

  using Kind = varnox::StepSpec::Kind;
  varnox::TestPlan plan;
  plan.sourceFile = "fuzz_compare";
  varnox::DriveSpec drive;
  drive.name = "D0";
  drive.device.capacityBlocks = 4096;
  drive.device.queueDepth = 1;
  drive.device.shuffleCompletions = false;
  drive.device.seed = 1;
  plan.drives.push_back(drive);
  plan.flow = {{Kind::Agent, "overlay", "", {}},   {Kind::Agent, "lba", "", {{"max_xfer", "8"}}},
               {Kind::Agent, "cardamor", "", {}},  {Kind::Write, "Write", "write", {}},
               {Kind::Read, "Read", "read", {}},   {Kind::GetStatus, "GetStatus", "", {}}};
  plan.keys = {{"Write Condition", "write"},   {"Read Condition", "read"},
               {"Min Queue Size", "1"},        {"Max Queue Size", "4"},
               {"Random Seed", "1"},           {"Bucket Count", "64"},
               {"Miscompare Output Path", (output.path / "miscompare").string()}};
  plan.passes = 32;

  varnox::TestRun run;
  varnox::AgentTable agent{};
  cardamor::initAgent(&agent);
  run.addAgent("cardamor", agent);
  varnox::AgentTable overlayTable{};
  overlayTable.registerDriveVariables = overlayRegister;
  overlayTable.execute = overlayExecute;
  run.addAgent("overlay", overlayTable);
  std::string error;
  fuzzCheck(run.prepare(plan, error) == varnox::kExitPassed, "the test is prepared", error);
  const varnox::RunReport report = run.run();
  fuzzCheck(overlay.applied, "a read came back");
  const std::string failure = report.drives.empty() ? "" : report.drives[0].failureText;
  fuzzCheck(report.exitStatus == (overlay.changed ? varnox::kExitIntegrityFailure : varnox::kExitPassed),
            overlay.changed ? "changed data is a failure" : "data as written passes", failure);
  return 0;
}
