#include "trace/SequenceDump.h"

#include <gtest/gtest.h>

#include <regex>

#include "plugin/TestData.h"
#include "support/TempDir.h"
#include "trace/CommandTrace.h"
#include "varnox/DriveThread.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kAllOnes = ~uint64_t{0};
constexpr uint64_t kMedia8 = 0x00000000FFFFFFF8ull;   // 8 LBAs per media block
constexpr uint64_t kMedia16 = 0x00000000FFFFFFF0ull;  // 16 LBAs per media block
constexpr uint64_t kMissLba = 0x104;

// The power-toggle rows carry the live millisecond tick; the width stays checked.
std::string maskTicks(const std::string& text) {
  static const std::regex tick("(Power Toggle O(?:ff|n ) )[ 0-9]{10}( ms)");
  return std::regex_replace(text, tick, "$1##########$2");
}

// Every event kind, arranged around a miscompare at LBA 0x104 (comments give the Idx):
// sync cache rows before any row touching the LBA, writes inside, next to and far from it,
// range events with an end on the LBA, a miscompare of the LBA and of its neighbour.
std::unique_ptr<CommandTrace> miscompareTrace() {
  auto t = CommandTrace::create(2000);
  t->recordSyncCacheIssued(3);                                    // 0: before any row: full only
  t->recordSyncCacheFinished(3, 0, Kcq{});                        // 1
  t->recordWriteIssued(0x100, 8, 1, 0, 0x1234);                   // 2: contains 0x104
  t->recordWriteIssued(0x108, 8, 2, 1, 0x2000);                   // 3: next media block of 8, same of 16
  t->recordWriteSameIssued(0xF8, 8, 3, 2, 0x55);                  // 4: far
  t->recordWriteFinished(0x100, 8, 1, 0, 0, Kcq{});               // 5
  t->recordSyncCacheIssued(4);                                    // 6: after a shown row: in both
  t->recordSyncCacheFinished(4, 0x42, Kcq{2, 4, 1});              // 7
  t->recordWriteAtomicIssued(0x200, 8, 4, 5, 0x300);              // 8: far
  t->recordPreReadIssued(0x200, 8, 5, 6);                         // 9: far
  t->recordTrimIssued(0x104, 1, 6, 7);                            // 10: contains
  t->recordWriteAborted(0x108, 8, 2, 1);                          // 11: as 3
  t->recordInvalidateRange(0x104, 0x1FF);                         // 12: first end on the LBA
  t->recordZoneReset(0x0, 0x104);                                 // 13: last end on the LBA
  t->recordInvalidateRange(0x105, 0x1FF);                         // 14: misses it
  t->recordPowerToggleOff();                                      // 15
  t->recordPowerToggleOn();                                       // 16
  t->recordReadIssued(0x100, 8, 7, 8, 0x1234, true);              // 17: invalidated '!'
  t->recordVerifyIssued(0x104, 4, 8, 9, 0x1238, false);           // 18
  t->recordRecvOutOfOrder(7, 8, 2);                               // 19: full only
  t->recordReadFinished(0x100, 8, 7, 8, 0, Kcq{});                // 20
  t->recordWriteSplice(0x104, 2, 7, 8, 0x1D, Kcq{0xE, 0x1D, 0});  // 21
  t->recordMiscompare(0x104, 0x1238, 0x80001, 7, true);           // 22: the verdict on the LBA
  t->recordMiscompare(0x105, 0x1239, 0x80001, 7, false);          // 23: another LBA: full only
  t->recordVerifyFinished(0x104, 4, 8, 9, 0, Kcq{0xE, 0x1D, 0});  // 24
  t->recordVerifyAborted(0x300, 1, 9, 10);                        // 25: far
  t->recordReadAborted(0x107, 1, 10, 0x1FF);                      // 26: same media block only
  t->setContextText("LBA 0x0000000000000104 history\n  written by CmdID 1\n");
  return t;
}

// A ring of 6 slots after 9 events: the oldest survivor is the 4th event.
std::unique_ptr<CommandTrace> wrappedTrace() {
  auto t = CommandTrace::create(6);
  for (uint32_t i = 0; i < 3; ++i) t->recordWriteIssued(0x10 + 8 * i, 8, i + 1, i, 0x100 + i);
  for (uint32_t i = 0; i < 3; ++i) t->recordWriteFinished(0x10 + 8 * i, 8, i + 1, i, 0, Kcq{});
  t->recordReadIssued(0x18, 8, 4, 0, 0x101, false);
  t->recordReadFinished(0x18, 8, 4, 0, 0, Kcq{});
  t->recordMiscompare(0x1A, 0x101, 0x102, 4, false);
  return t;
}

class SequenceDumpTest : public testing::TempDirTest {
 protected:
  // Dumps into the temporary directory and compares with the golden file of that name.
  void expectGolden(const CommandTrace* trace, const std::string& golden, bool miscompare, uint64_t missLba,
                    uint64_t mask) {
    std::string target = path(golden);
    ASSERT_EQ(dumpSequence(trace, &thread_, target, miscompare, missLba, mask), 0);
    testing::expectGolden(maskTicks(readAll(target)), "trace/golden/" + golden);
  }

  DriveThread thread_{DriveProperties{}};
};

TEST_F(SequenceDumpTest, MiscompareDumpsMatchTheirGoldenFiles) {
  auto trace = miscompareTrace();
  expectGolden(trace.get(), "miscompare_media8.txt", true, kMissLba, kMedia8);
  expectGolden(trace.get(), "miscompare_media16.txt", true, kMissLba, kMedia16);
  expectGolden(trace.get(), "miscompare_no_media.txt", true, kMissLba, kAllOnes);
  auto wrapped = wrappedTrace();
  expectGolden(wrapped.get(), "wrapped_miscompare.txt", true, 0x1A, kMedia8);
}

TEST_F(SequenceDumpTest, PlainDumpsMatchTheirGoldenFiles) {
  auto trace = miscompareTrace();
  expectGolden(trace.get(), "every_kind_full.txt", false, 0, kAllOnes);
  auto wrapped = wrappedTrace();
  expectGolden(wrapped.get(), "wrapped_full.txt", false, 0, kAllOnes);
  auto empty = CommandTrace::create(2000);
  expectGolden(empty.get(), "empty.txt", false, 0, kAllOnes);
  expectGolden(nullptr, "empty.txt", false, 0, kAllOnes);  // no trace at all dumps as an empty one
}

TEST_F(SequenceDumpTest, AnUnopenableNameIsLoggedAndFails) {
  auto trace = wrappedTrace();
  std::string tooLong = path(std::string(300, 'n'));  // no file system accepts it
  EXPECT_EQ(dumpSequence(trace.get(), &thread_, tooLong, true, 0x1A, kAllOnes), -1052);
  const auto lines = thread_.eventLog().lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 2);
  EXPECT_EQ(lines[0].text, "Could not open the file '" + fs::current_path().string() + "/" +
                               std::string(300, 'n') + "' to dump the bucket compare command sequence");
}

}  // namespace
}  // namespace varnox::testing
