// Reads of blocks the agent really wrote, taken through read completion and the compare engine.
#include "completion/Compare.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "plugin/completion/CompletionHarness.h"

namespace varnox::testing {
namespace {

TEST(CompareEngine, FlippedBytesReportFirstOffsetCountCdbAndCaptureBothBlocks) {
  CompletionHarness h;
  const uint64_t w = h.write(0, 0x20, 1);
  ASSERT_EQ(h.complete(0, h.kGood), 0);
  const uint64_t r = h.read(1);

  Bytes data = h.block(w, 0x20);
  const Bytes expected = data;
  for (size_t offset : {5, 6, 300}) data[offset] ^= 0x5A;
  EXPECT_EQ(h.executePass(1, h.kGood, data), -1046);

  EXPECT_TRUE(h.logged("Miscompare Detected at LBA 0x0000000000000020, first_offset = 5, num_bytes = 3"))
      << h.log();
  EXPECT_TRUE(h.logged("Miscompare CDB: 88 00 00 00 00 00 00 00 00 20 00 00 00 01 00 00")) << h.log();
  EXPECT_TRUE(h.logged("execute(): " + std::string(EventLog::errStr(-1046)) + " (-1046)")) << h.log();
  auto& d = h.drive();
  EXPECT_TRUE(d.miscompareSeen);
  EXPECT_EQ(d.miscompareLba, 0x20u);
  ASSERT_EQ(d.miscompareDriveBytes->size, h.sectorSize());
  ASSERT_EQ(d.miscompareReferenceBytes->size, h.sectorSize());
  EXPECT_EQ(Bytes(d.miscompareDriveBytes->data, d.miscompareDriveBytes->data + h.sectorSize()), data);
  EXPECT_EQ(Bytes(d.miscompareReferenceBytes->data, d.miscompareReferenceBytes->data + h.sectorSize()),
            expected);
  // The failing read is gone from the queue and from the history.
  EXPECT_TRUE(d.compareQueue.empty());
  EXPECT_EQ(d.atomicContext.findRecord(0x20), nullptr);
  (void)r;
}

TEST(CompareEngine, ShortCdbIsNamedByItsSize) {
  CompletionHarness h;
  const uint64_t w = h.write(0, 7, 1);
  ASSERT_EQ(h.complete(0, h.kGood), 0);
  h.read(1);
  Bytes data = h.block(w, 7);
  data[100] ^= 1;
  EXPECT_EQ(h.complete(1, h.kGood, data, {}, Bytes(10, 0x28)), -1046);
  EXPECT_TRUE(h.logged("Could not dump CDB: cdb_size = 10")) << h.log();
  EXPECT_TRUE(h.logged("Miscompare Detected at LBA 0x0000000000000007, first_offset = 100, num_bytes = 1"));
}

TEST(CompareEngine, StaleBlockOfAnOlderWriteIsCaught) {
  CompletionHarness h;
  const uint64_t older = h.write(0, 40, 2);
  ASSERT_EQ(h.complete(0, h.kGood), 0);
  const uint64_t newer = h.write(1, 40, 2);
  ASSERT_EQ(h.complete(1, h.kGood), 0);
  h.read(2);  // the older write's read-back, issued after the newer write completed

  // The drive lost the newer write of LBA 41.
  Bytes data = h.block(newer, 40);
  CompletionHarness::append(data, h.block(older, 41));
  EXPECT_EQ(h.complete(2, h.kGood, data), -1046);
  EXPECT_EQ(h.drive().miscompareLba, 41u);
  // The trace explains the failure with the history of LBA 41 as the read saw it.
  const std::string context = h.drive().commandTrace->context_text();
  EXPECT_NE(context.find("Context History for lba 0x29:"), std::string::npos) << context;
}

TEST(CompareEngine, InvalidatedBlockMustNoLongerHoldItsOldData) {
  CompletionHarness h;
  const uint64_t w = h.write(0, 0x40, 2);
  ASSERT_EQ(h.complete(0, h.kGood), 0);
  h.drive().atomicContext.invalidateRange(0x40, 0x41, false);
  h.read(1);

  // LBA 0x40 reads as zeros (its content is gone, as invalidated), LBA 0x41 still old.
  Bytes data(h.sectorSize(), 0);
  CompletionHarness::append(data, h.block(w, 0x41));
  EXPECT_EQ(h.complete(1, h.kGood, data), -1046);
  EXPECT_TRUE(h.logged("Data match on invalidated block at LBA 0x0000000000000041")) << h.log();
  EXPECT_FALSE(h.logged("Data match on invalidated block at LBA 0x0000000000000040"));
  EXPECT_EQ(h.drive().miscompareLba, 0x41u);
}

TEST(CompareEngine, ReadThatOvertookAnOlderWriteIsComparedOnlyAfterThatWrite) {
  CompletionHarness h;
  const uint64_t w = h.write(0, 200, 4);
  const uint64_t r = h.read(1);  // no read-back pending: the read races the outstanding write
  const uint64_t other = h.write(2, 500, 1);
  ASSERT_EQ(h.complete(2, h.kGood), 0);
  h.read(3);  // read-back of the other write

  // The racing read returns a corrupted block: its compare must wait for write w.
  Bytes racing = h.blocks(w, 200, 4);
  racing[3 * h.sectorSize() + 40] ^= 0xFF;
  EXPECT_EQ(h.complete(1, h.kGood, racing), 0) << h.log();
  const std::string warning =
      "recvRead(): recv read " + std::to_string(r) + " out of order before write " + std::to_string(w);
  EXPECT_TRUE(h.logged(warning)) << h.log();
  EXPECT_TRUE(h.drive().spliceDetected);
  ASSERT_EQ(h.drive().compareQueue.size(), 1u);
  EXPECT_FALSE(h.drive().miscompareSeen);

  // A later read without racing writes is compared in its own pass, ahead of the held one.
  EXPECT_EQ(h.complete(3, h.kGood, h.block(other, 500)), 0) << h.log();
  EXPECT_EQ(h.drive().compareQueue.size(), 1u);

  // The write completes: now the held read is compared and its corruption found.
  EXPECT_EQ(h.complete(0, h.kGood), -1046);
  EXPECT_TRUE(h.logged("Miscompare Detected at LBA 0x00000000000000CB, first_offset = 40, num_bytes = 1"))
      << h.log();
  EXPECT_TRUE(h.drive().compareQueue.empty());
}

// An atomic write over LBAs 0..3 that the drive aborted, read back while its outcome was open:
// the drive may hold the old or the new data of each atomic unit, never a mix.
struct AbortedAtomicWrite {
  AbortedAtomicWrite() {
    oldWrite = h.write(0, 0, 5);  // LBA 4 too, so the atomic range is known and needs no pre-read
    EXPECT_EQ(h.complete(0, h.kGood), 0);
    atomic = h.writeAtomic(1, 0, 4, 4);
    h.read(2);  // the old write's read-back, issued while the atomic write is outstanding
    EXPECT_EQ(h.complete(1, h.kTaskAborted), 0);
  }
  // LBAs 0..3 from `fromAtomic[i] ? atomic : oldWrite`, LBA 4 from the old write.
  Bytes readData(std::initializer_list<bool> fromAtomic) {
    Bytes data;
    uint64_t lba = 0;
    for (bool a : fromAtomic) CompletionHarness::append(data, h.block(a ? atomic : oldWrite, lba++));
    CompletionHarness::append(data, h.block(oldWrite, 4));
    return data;
  }
  CompletionHarness h{[](AgentFixture& f) { f.set("WriteAtomic Condition", "atomic"); }};
  uint64_t oldWrite = 0;
  uint64_t atomic = 0;
};

TEST(AbortedAtomicWrite, AllOldOrAllNewDataIsAcceptedAndATornUnitFails) {
  for (bool fromAtomic : {false, true}) {
    AbortedAtomicWrite t;
    EXPECT_EQ(t.h.complete(2, t.h.kGood, t.readData({fromAtomic, fromAtomic, fromAtomic, fromAtomic})), 0)
        << t.h.log();
    EXPECT_FALSE(t.h.drive().miscompareSeen);
  }
  AbortedAtomicWrite t;
  CompletionHarness& h = t.h;
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  const int rc = h.executePass(2, h.kGood, t.readData({true, true, false, false}));
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, -1063);
  EXPECT_NE(err.find("atomic data ordering failure lba:0x2\n"), std::string::npos) << err;
  EXPECT_NE(out.find("atomic data ordering failure\nContext History for lba 0x1:"), std::string::npos) << out;
  EXPECT_TRUE(h.logged("execute(): " + std::string(EventLog::errStr(-1063)) + " (-1063)")) << h.log();
  EXPECT_TRUE(h.drive().miscompareSeen);
  EXPECT_EQ(h.drive().miscompareLba, 2u);
  // Nothing is captured for an ordering failure: no single block is wrong.
  EXPECT_EQ(h.drive().miscompareDriveBytes->size, 0u);
}

TEST(CompareEngine, CorrectDataPassesAndReleasesTheHistory) {
  CompletionHarness h;
  const uint64_t w = h.write(0, 100, 4);
  ASSERT_EQ(h.complete(0, h.kGood), 0);
  h.read(1);
  EXPECT_EQ(h.complete(1, h.kGood, h.blocks(w, 100, 4)), 0) << h.log();
  EXPECT_FALSE(h.drive().miscompareSeen);
  EXPECT_TRUE(h.drive().compareQueue.empty());
  EXPECT_EQ(h.drive().atomicContext.recordCount(), 0u);

  // Protection bytes behind every block are never compared.
  const uint64_t p = h.write(2, 300, 3);
  ASSERT_EQ(h.complete(2, h.kGood), 0);
  h.read(3);
  Bytes data;
  for (uint64_t lba = 300; lba < 303; ++lba) {
    CompletionHarness::append(data, h.block(p, lba));
    CompletionHarness::append(data, Bytes(8, 0xEE));
  }
  EXPECT_EQ(h.complete(3, h.kGood, data), 0) << h.log();
}

TEST(CompareEngine, SkipCommandsCompareEverySecondLba) {
  CompletionHarness h([](AgentFixture& f) { f.set("Use Skip Commands", "true"); });
  const uint64_t w = h.write(0, 10, 3);  // LBAs 10, 12, 14
  ASSERT_EQ(h.complete(0, h.kGood), 0);
  h.read(1);
  Bytes data = h.block(w, 10);
  CompletionHarness::append(data, h.block(w, 12));
  CompletionHarness::append(data, h.block(w, 14));
  data[2 * h.sectorSize() + 64] ^= 0x10;
  EXPECT_EQ(h.complete(1, h.kGood, data), -1046);
  EXPECT_TRUE(h.logged("Miscompare Detected at LBA 0x000000000000000E, first_offset = 64, num_bytes = 1"))
      << h.log();
}

TEST(CompareEngine, BadReadDataReachesTheHost) {
  {  // Fewer bytes than blocks: the first block beyond the data ends the compare.
    CompletionHarness h;
    const uint64_t w = h.write(0, 50, 4);
    ASSERT_EQ(h.complete(0, h.kGood), 0);
    h.read(1);
    EXPECT_EQ(h.executePass(1, h.kGood, h.blocks(w, 50, 2)), -1057);
    EXPECT_TRUE(h.logged("dataCompare() Read pointer: offset > buff size")) << h.log();
    EXPECT_TRUE(h.logged("doCompares(): " + std::string(EventLog::errStr(-1057)) + " (-1057)"));
    EXPECT_TRUE(h.logged("execute(): " + std::string(EventLog::errStr(-1057)) + " (-1057)"));
  }
  {  // No read data at all.
    CompletionHarness h;
    h.write(0, 50, 4);
    ASSERT_EQ(h.complete(0, h.kGood), 0);
    h.read(1);
    EXPECT_EQ(h.executePass(1, h.kGood, {}), -1022);
    EXPECT_TRUE(h.logged("Read Buffer == NULL")) << h.log();
    EXPECT_TRUE(h.logged("recvRead(): " + std::string(EventLog::errStr(-1022)) + " (-1022)"));
    EXPECT_TRUE(h.logged("execute(): " + std::string(EventLog::errStr(-1022)) + " (-1022)"));
    EXPECT_TRUE(h.drive().compareQueue.empty());
  }
}

TEST(CompareEngine, ReadDataMarkedInvalidIsReleasedWithoutCompare) {
  CompletionHarness h;
  h.write(0, 60, 2);
  ASSERT_EQ(h.complete(0, h.kGood), 0);
  h.read(1);
  h.report(1, h.kGood, Bytes(2 * h.sectorSize(), 0));
  *h.drive().readDataIsValid = 0;
  EXPECT_EQ(Cardamor::dispatchCompletion(h.thread(), h.drive(), h.config()), 0);
  EXPECT_TRUE(h.drive().compareQueue.empty());
  EXPECT_EQ(h.drive().atomicContext.recordCount(), 0u);
}

}  // namespace
}  // namespace varnox::testing
