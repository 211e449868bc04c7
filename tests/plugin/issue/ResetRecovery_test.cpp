// Reset recovery, power toggle and zone-reset clearing, driven through the agent table on a real
// drive thread: outstanding commands are planted the way the issue side leaves them (a tag
// taken and its buffers locked, a record in its list, the history told), then the slot runs.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "HistoryObligations.h"
#include "support/AgentFixture.h"
#include "trace/CommandTrace.h"

namespace varnox::testing {
using cardamor::AtomicContext;
namespace {

using cardamor::ReadBackRequest;
using cardamor::ReadRecord;
using cardamor::VerifyRecord;
using cardamor::WriteRecord;

// A tag as the host leaves it while a command is in flight.
uint32_t takeTag(AgentFixture& f) {
  const uint32_t tag = f.thread().freeTagQueue().takeFreeTag();
  f.drive().readDataPtr->lock(tag);
  f.drive().cdb->lock(tag);
  f.drive().parameterList->lock(tag);
  return tag;
}
// A read-back of an earlier, completed write of the same range.
void plantRead(AgentFixture& f, uint64_t cmdId, uint64_t lba, uint32_t length, uint8_t spliceSuspect = 0) {
  for (uint64_t b = lba; b < lba + length; ++b) {
    f.drive().atomicContext.writeIssued(cmdId - 5, b, 3, true, cmdId - 5, b);
    f.drive().atomicContext.readIssued(cmdId, b, true);
  }
  f.drive().outstandingReads.push_back(ReadRecord{cmdId, lba, length, takeTag(f), spliceSuspect, 0});
}
// A write of bucket 7, one block per LBA.
void plantWrite(AgentFixture& f, uint64_t cmdId, uint64_t lba, uint32_t length, bool atomic = false) {
  for (uint64_t b = lba; b < lba + length; ++b) {
    if (atomic) {
      f.drive().atomicContext.atomicWriteIssued(cmdId, b, 7, true, cmdId, b, 0, length, length);
    } else {
      f.drive().atomicContext.writeIssued(cmdId, b, 7, true, cmdId, b);
    }
  }
  f.drive().outstandingWrites.push_back(WriteRecord{cmdId, 0, lba, length, takeTag(f), 1, atomic});
}

class ResetRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    f_.setBasicConditions();
    f_.set("Verify Condition", "verify");
    f_.setTestMaxXferLength(16);
  }
  void ready() { ASSERT_EQ(f_.setup(), 0); }

  AgentFixture f_;
};

TEST_F(ResetRecoveryTest, ReadsAreRequeuedAheadOfWaitingReadBacksInReverseIssueOrder) {
  ready();
  f_.drive().pendingReadBacks.push_back(ReadBackRequest{3, 900, 2, 0, 0});
  plantRead(f_, 10, 100, 4);
  plantRead(f_, 11, 200, 4, 1);
  plantRead(f_, 12, 300, 4);

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(f_.handleReset(), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "re-queuing read cmd_id:10:a\nre-queuing read cmd_id:11:b\nre-queuing read cmd_id:12:c\n");

  std::vector<std::pair<uint64_t, uint64_t>> queue;  // (cmdId, lba)
  for (const auto& q : f_.drive().pendingReadBacks) queue.emplace_back(q.cmdId, q.lba);
  EXPECT_EQ(queue, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 300}, {0, 200}, {0, 100}, {3, 900}}));
  EXPECT_EQ(std::next(f_.drive().pendingReadBacks.begin())->spliceSuspect, 1) << "a splice check stays one";
  EXPECT_TRUE(f_.drive().outstandingReads.empty());

  // Every tag is back, its buffers unlocked, and no completion is pending.
  FreeTagQueue& tags = f_.thread().freeTagQueue();
  EXPECT_EQ(tags.getNotFreeTag(0, false), kNoTag);
  EXPECT_EQ(tags.inUseCount(), 0u);
  for (uint32_t tag = 0; tag < 3; ++tag) {
    EXPECT_FALSE(f_.drive().readDataPtr->isLocked(tag));
    EXPECT_FALSE(f_.drive().cdb->isLocked(tag));
    EXPECT_FALSE(f_.drive().parameterList->isLocked(tag));
  }
  EXPECT_EQ(*f_.drive().lastTagId, 255u);
  EXPECT_EQ(*f_.drive().readDataIsValid, 0u);
  EXPECT_EQ(*f_.drive().lastStatusByte, 0xFFFFFFFFu);

  using K = cardamor::TraceEventKind;
  EXPECT_EQ(f_.traceKinds(), (std::vector<K>{K::ReadAborted, K::ReadAborted, K::ReadAborted}));
  // The reads' records stay: their ranges will be read again.
  EXPECT_NE(f_.drive().atomicContext.findRecord(100), nullptr);
}

TEST_F(ResetRecoveryTest, LostWritesAreReadBackOnlyWhenAtomicOrWhenSplicesAreHunted) {
  struct Case {
    bool spliceDetection;
    bool atomic;
    bool queued;
    uint8_t spliceSuspect;
  };
  for (const Case c : {Case{false, false, false, 0}, Case{true, false, true, 1}, Case{false, true, true, 0},
                       Case{true, true, true, 0}}) {
    SCOPED_TRACE(::testing::Message() << "splice detection " << c.spliceDetection << ", atomic " << c.atomic);
    AgentFixture f;
    f.setBasicConditions();
    f.set("Write Splice Detection", c.spliceDetection ? "true" : "false");
    f.setTestMaxXferLength(16);
    ASSERT_EQ(f.setup(), 0);
    plantWrite(f, 5, 40, 4, c.atomic);

    EXPECT_EQ(f.handleReset(), 0);
    EXPECT_TRUE(f.drive().outstandingWrites.empty());
    ASSERT_EQ(f.drive().pendingReadBacks.size(), c.queued ? 1u : 0u);
    if (c.queued) {
      const ReadBackRequest& q = f.drive().pendingReadBacks.front();
      EXPECT_EQ(q.cmdId, 5u);
      EXPECT_EQ(q.lba, 40u);
      EXPECT_EQ(q.xferLength, 4u);
      EXPECT_EQ(q.spliceSuspect, c.spliceSuspect);
    }
    // A lost normal write may have landed partly: its blocks are unknown. An atomic write landed
    // whole or not at all, which the read-back decides, so its event keeps its data.
    EXPECT_EQ(f.drive().atomicContext.lookup(40).blockNum, c.atomic ? 7u : AtomicContext::INVALID_BUCKET);
    EXPECT_TRUE(orphanedHistoryRecords(f.drive()).empty());
  }
}

TEST_F(ResetRecoveryTest, VerifiesAndPreReadsAreReleasedWithNothingQueued) {
  ready();
  for (uint64_t b = 60; b < 64; ++b) {
    f_.drive().atomicContext.writeIssued(19, b, 3, true, 19, b);
    f_.drive().atomicContext.readIssued(21, b, true);
  }
  f_.drive().outstandingVerifies.push_back(VerifyRecord{21, 60, 4, takeTag(f_), 0});
  f_.drive().outstandingPreReads.push_back(cardamor::PreReadRecord{22, 0, 80, 2, takeTag(f_)});
  f_.drive().finishedPreReads.push_back(cardamor::PreReadRecord{20, 0, 80, 2, 0});

  EXPECT_EQ(f_.handleReset(), 0);
  EXPECT_TRUE(f_.drive().outstandingVerifies.empty());
  EXPECT_TRUE(f_.drive().outstandingPreReads.empty());
  EXPECT_EQ(f_.drive().finishedPreReads.size(), 1u) << "finished pre-reads carry over";
  EXPECT_TRUE(f_.drive().pendingReadBacks.empty());
  EXPECT_EQ(f_.drive().atomicContext.findRecord(60), nullptr) << "the verify's LBAs are released";
  using K = cardamor::TraceEventKind;
  EXPECT_EQ(f_.traceKinds(), (std::vector<K>{K::ReadAborted, K::VerifyAborted}));
  EXPECT_TRUE(orphanedHistoryRecords(f_.drive()).empty());

  // Nothing outstanding: a second reset traces and queues nothing.
  EXPECT_EQ(f_.handleReset(), 0);
  EXPECT_EQ(f_.traceKinds().size(), 2u);
  EXPECT_TRUE(f_.drive().pendingReadBacks.empty());
}

TEST_F(ResetRecoveryTest, ZoneResetDropsTheReadBacksItCoversButNotOneStartingAtItsLastLba) {
  f_.mapRangeQueueWriter("CSZoneReset");
  ready();
  ASSERT_NE(f_.drive().csZoneReset, nullptr);
  plantWrite(f_, 30, 150, 10);
  plantWrite(f_, 31, 199, 4);
  // Both writes completed: their ranges wait for a read-back.
  f_.drive().outstandingWrites.clear();
  f_.thread().freeTagQueue().pushFreeTag(0, 0);
  f_.thread().freeTagQueue().pushFreeTag(1, 0);
  f_.drive().pendingReadBacks.push_back(ReadBackRequest{30, 150, 10, 0, 0});
  f_.drive().pendingReadBacks.push_back(ReadBackRequest{31, 199, 4, 0, 0});
  f_.drive().csZoneReset->push(LBARange{100, 199});

  ::testing::internal::CaptureStdout();
  f_.execute();
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("<W> Clearing out Read LBA Range 0x0000000000000096 thru 0x00000000000000A0\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("0x00000000000000C7 thru"), std::string::npos) << "the request at the last LBA stays";
  ASSERT_FALSE(f_.drive().pendingReadBacks.empty());
  bool lastStays = false;
  for (const auto& q : f_.drive().pendingReadBacks) {
    EXPECT_NE(q.lba, 150u);
    lastStays |= q.lba == 199;
  }
  EXPECT_TRUE(lastStays);
  EXPECT_TRUE(f_.drive().csZoneReset->empty());
  // LBAs 150..159 were released: the first write's records are gone.
  for (uint64_t b = 150; b < 160; ++b) EXPECT_EQ(f_.drive().atomicContext.findRecord(b), nullptr) << b;
}

TEST_F(ResetRecoveryTest, ZoneResetWithSkipCommandsLeavesTheOtherParityAlone) {
  f_.set("Use Skip Commands", "true");
  f_.mapRangeQueueWriter("CSZoneReset");
  ready();
  // An odd-aligned and an even-aligned pending write, both reaching into the zone.
  f_.drive().outstandingWrites.push_back(WriteRecord{40, 0, 101, 4});
  f_.drive().outstandingWrites.push_back(WriteRecord{41, 0, 102, 4});
  f_.drive().csZoneReset->push(LBARange{100, 199});
  f_.execute();
  std::map<uint64_t, uint8_t> readBack;  // cmdId -> still to be read back
  for (const auto& w : f_.drive().outstandingWrites) readBack[w.cmdId] = w.readBack;
  EXPECT_EQ(readBack[40], 1) << "odd-aligned write untouched";
  EXPECT_EQ(readBack[41], 0) << "even-aligned write no longer read back";
}

}  // namespace
}  // namespace varnox::testing
