// Write, read, verify and sync-cache completions as the host reports them, with the commands
// issued by the agent's own issue operations.
#include <gtest/gtest.h>

#include <algorithm>

#include "completion/Miscompare.h"
#include "completion/SenseInfo.h"
#include "issue/BlockLayout.h"
#include "plugin/completion/CompletionHarness.h"

namespace varnox::testing {
namespace {

using Cardamor::TraceEventKind;

TEST(Dispatch, OnlyAFreshCompletionOfAPendingCommandIsHandled) {
  CompletionHarness h;
  h.write(0, 10, 2);
  // No completion reported, no tag, a tag that never carried a command: nothing handled.
  for (auto [tag, status] :
       {std::pair<uint32_t, uint32_t>{0, 0xFFFFFFFF}, {0xFFFFFFFF, h.kGood}, {5, h.kGood}}) {
    h.report(tag, status);
    EXPECT_EQ(Cardamor::dispatchCompletion(h.thread(), h.drive(), h.config()), 0);
    EXPECT_EQ(h.drive().outstandingWrites.size(), 1u) << tag;
  }
  // After a miscompare no completion is handled either.
  h.report(0, h.kGood);
  h.drive().miscompareSeen = true;
  EXPECT_EQ(Cardamor::dispatchCompletion(h.thread(), h.drive(), h.config()), 0);
  EXPECT_EQ(h.drive().outstandingWrites.size(), 1u);
  h.drive().miscompareSeen = false;
  // The real completion, then the same one shown again in a later pass: handled once.
  EXPECT_EQ(Cardamor::dispatchCompletion(h.thread(), h.drive(), h.config()), 0);
  EXPECT_TRUE(h.drive().outstandingWrites.empty());
  EXPECT_EQ(h.drive().pendingReadBacks.size(), 1u);
  EXPECT_EQ(h.drive().commandTrace->lastCommand(0).kind, TraceEventKind::WriteFinished);
  EXPECT_EQ(Cardamor::dispatchCompletion(h.thread(), h.drive(), h.config()), 0);
  EXPECT_EQ(h.drive().pendingReadBacks.size(), 1u);

  // A completion whose command record is gone is an internal error.
  h.write(1, 20, 1);
  h.drive().outstandingWrites.clear();
  EXPECT_EQ(h.complete(1, h.kGood), -1200);
  EXPECT_TRUE(h.logged("recvWrite(): Couldn't find write"));
}

TEST(ParseSense, DecodesOnlyUsableSenseAndTreatsKeyOneAsNoError) {
  CompletionHarness h;
  Cardamor::SenseInfo info;
  h.report(0, h.kCheckCondition, {}, CompletionHarness::sense(3, 0x11, 0x02, 0xABCD, true, 0x1234));
  EXPECT_TRUE(Cardamor::parseSense(h.drive(), info));
  EXPECT_EQ(info.kcq.key, 3);
  EXPECT_EQ(info.kcq.code, 0x11);
  EXPECT_EQ(info.kcq.qual, 0x02);
  EXPECT_EQ(info.uec, 0xABCD);
  EXPECT_EQ(info.validBit, 1);
  EXPECT_EQ(info.information, 0x1234u);

  // The valid bit is fetched for a medium error only.
  h.report(0, h.kCheckCondition, {}, CompletionHarness::sense(4, 0x44, 0, 0, true, 0x1234));
  EXPECT_TRUE(Cardamor::parseSense(h.drive(), info));
  EXPECT_EQ(info.validBit, 0);
  EXPECT_EQ(info.information, 0u);

  h.report(0, h.kCheckCondition, {}, CompletionHarness::sense(1, 0x17, 0x01, 0x0101));
  EXPECT_FALSE(Cardamor::parseSense(h.drive(), info));
  EXPECT_EQ(info.uec, 0x0101);

  // Too short, or another device interface: a hard error with nothing decoded.
  h.report(0, h.kCheckCondition, {}, Bytes{0x70, 0, 1, 0, 0, 0, 0});
  EXPECT_TRUE(Cardamor::parseSense(h.drive(), info));
  EXPECT_EQ(info.kcq.key, 0);
  h.report(0, h.kCheckCondition, {}, CompletionHarness::sense(1, 0x17, 0x01));
  *h.drive().deviceInterface = 1;
  EXPECT_TRUE(Cardamor::parseSense(h.drive(), info));
  EXPECT_EQ(info.kcq.key, 0);
}

TEST(WriteCompletion, CorrectedErrorCountsAsGoodAndTracesTheSense) {
  CompletionHarness h;
  const uint64_t w = h.write(0, 10, 2);
  EXPECT_EQ(h.complete(0, h.kCheckCondition, {}, CompletionHarness::sense(1, 0x17, 0x01, 0x0042)), 0);
  ASSERT_EQ(h.drive().pendingReadBacks.size(), 1u);
  EXPECT_EQ(h.drive().pendingReadBacks.front().cmdId, w);
  EXPECT_EQ(h.drive().pendingReadBacks.front().spliceSuspect, 0);
  // The read-back finds the written data.
  h.read(1);
  EXPECT_EQ(h.complete(1, h.kGood, h.blocks(w, 10, 2)), 0) << h.log();
}

TEST(WriteCompletion, MediumErrorInvalidatesFromTheFailingLbaAndIsNoSpliceSuspect) {
  {  // No read linked: the read-back is dropped and the history forgets the range.
    CompletionHarness h([](AgentFixture& f) { f.set("Write Splice Detection", "true"); });
    h.write(0, 100, 8);
    EXPECT_EQ(h.complete(0, h.kCheckCondition, {}, CompletionHarness::sense(3, 0x0C, 0, 0, true, 103)), 0);
    EXPECT_TRUE(h.drive().pendingReadBacks.empty());
    EXPECT_EQ(h.drive().atomicContext.recordCount(), 0u);
  }
  {  // A read of the range outstanding keeps the records: blocks before LBA 103 stay written.
    CompletionHarness h([](AgentFixture& f) { f.set("Write Splice Detection", "true"); });
    h.write(0, 100, 8);
    h.read(1);
    EXPECT_EQ(h.complete(0, h.kCheckCondition, {}, CompletionHarness::sense(3, 0x0C, 0, 0, true, 103)), 0);
    const auto& history = h.drive().atomicContext;
    for (uint64_t lba = 100; lba < 103; ++lba) EXPECT_LT(history.lookup(lba).blockNum, 0x80000u) << lba;
    for (uint64_t lba = 103; lba < 108; ++lba) EXPECT_EQ(history.lookup(lba).blockNum, 0x80001u) << lba;
    ASSERT_EQ(h.drive().outstandingReads.size(), 1u);
    EXPECT_EQ(h.drive().outstandingReads.front().spliceSuspect, 0);
  }
}

TEST(WriteCompletion, FailedAtomicWriteIsAlwaysReadBack) {
  CompletionHarness h([](AgentFixture& f) { f.set("WriteAtomic Condition", "atomic"); });
  h.write(0, 0, 9);  // makes LBAs 0..8 known, so the atomic write needs no pre-read
  ASSERT_EQ(h.complete(0, h.kGood), 0);
  const uint64_t a = h.writeAtomic(1, 0, 8, 8);
  EXPECT_EQ(h.complete(1, h.kCheckCondition, {}, CompletionHarness::sense(3, 0x0C, 0, 0, true, 3)), 0);
  ASSERT_EQ(h.drive().pendingReadBacks.size(), 2u);
  EXPECT_EQ(h.drive().pendingReadBacks.back().cmdId, a);
  EXPECT_EQ(h.drive().pendingReadBacks.back().spliceSuspect, 0);
}

TEST(WriteCompletion, AbortedWriteIsReadBackAsSpliceCheckOnlyWithDetectionOn) {
  {
    CompletionHarness h;
    h.write(0, 20, 4);
    EXPECT_EQ(h.complete(0, h.kTaskAborted), 0);
    EXPECT_TRUE(h.drive().pendingReadBacks.empty());
    EXPECT_EQ(h.drive().atomicContext.recordCount(), 0u);
    EXPECT_EQ(h.drive().commandTrace->lastCommand(0).kind, TraceEventKind::WriteAborted);
  }
  {
    CompletionHarness h([](AgentFixture& f) { f.set("Write Splice Detection", "true"); });
    const uint64_t w = h.write(0, 20, 4);
    EXPECT_EQ(h.complete(0, h.kTaskAborted), 0);
    ASSERT_EQ(h.drive().pendingReadBacks.size(), 1u);
    EXPECT_EQ(h.drive().pendingReadBacks.front().cmdId, w);
    EXPECT_EQ(h.drive().pendingReadBacks.front().spliceSuspect, 1);
  }
  {  // A read of the range already outstanding becomes the splice check.
    CompletionHarness h([](AgentFixture& f) { f.set("Write Splice Detection", "true"); });
    h.write(0, 20, 4);
    h.read(1);
    EXPECT_EQ(h.complete(0, h.kTaskAborted), 0);
    EXPECT_TRUE(h.drive().pendingReadBacks.empty());
    ASSERT_EQ(h.drive().outstandingReads.size(), 1u);
    EXPECT_EQ(h.drive().outstandingReads.front().spliceSuspect, 1);
  }
}

TEST(WriteCompletion, SkipCommandsTouchEverySecondLba) {
  CompletionHarness h([](AgentFixture& f) { f.set("Use Skip Commands", "true"); });
  h.write(0, 100, 4);
  EXPECT_EQ(h.complete(0, h.kTaskAborted), 0);  // dropped: readSkip on 100, 102, 104, 106
  EXPECT_EQ(h.drive().atomicContext.recordCount(), 0u);
}

// A write aborted with splice detection on: its read-back is a splice check.
class SpliceCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    h.write(0, 0x300, 4);
    ASSERT_EQ(h.complete(0, h.kTaskAborted), 0);
    h.read(1);
  }
  CompletionHarness h{[](AgentFixture& f) { f.set("Write Splice Detection", "true"); }};
};

TEST_F(SpliceCheck, HardErrorIsAWriteSpliceThatReachesTheHost) {
  EXPECT_EQ(h.executePass(1, h.kCheckCondition, {}, CompletionHarness::sense(4, 0x44, 0, 0x1234)), -1062);
  EXPECT_TRUE(h.logged("Write Splice Detected at LBA 0x0000000000000300 Transfer Length 0x4")) << h.log();
  EXPECT_TRUE(h.logged("execute(): " + std::string(EventLog::errStr(-1062)) + " (-1062)")) << h.log();
  EXPECT_TRUE(h.drive().spliceDetected);
}

TEST_F(SpliceCheck, ExcludedUnitErrorCodeIsNoSplice) {
  EXPECT_EQ(h.complete(1, h.kCheckCondition, {}, CompletionHarness::sense(4, 0x44, 0, 0xF510)), 0);
  EXPECT_FALSE(h.drive().spliceDetected);
  EXPECT_EQ(h.drive().atomicContext.recordCount(), 0u);
}

TEST_F(SpliceCheck, CleanReadPassesWithoutCompare) {
  EXPECT_EQ(h.complete(1, h.kGood, Bytes(4 * h.sectorSize(), 0xAA)), 0);
  EXPECT_TRUE(h.drive().compareQueue.empty());
  EXPECT_FALSE(h.drive().miscompareSeen);
}

TEST_F(SpliceCheck, AbortedCheckIsRetriedOnceAtTheFront) {
  h.write(2, 0x900, 1);
  ASSERT_EQ(h.complete(2, h.kGood), 0);  // a normal read-back now waits too
  EXPECT_EQ(h.complete(1, h.kTaskAborted), 0);
  ASSERT_EQ(h.drive().pendingReadBacks.size(), 2u);
  const auto& retry = h.drive().pendingReadBacks.front();
  EXPECT_EQ(retry.cmdId, 0u);
  EXPECT_EQ(retry.lba, 0x300u);
  EXPECT_EQ(retry.xferLength, 4u);
  EXPECT_EQ(retry.spliceSuspect, 1);
  EXPECT_EQ(retry.retried, 1);
  h.read(3);
  EXPECT_EQ(h.complete(3, h.kTaskAborted), 0);
  ASSERT_EQ(h.drive().pendingReadBacks.size(), 1u);  // only the normal read-back is left
  // The second abort gave up the splice check: the history forgot its range.
  h.drive().atomicContext.forEachRecord(0x300, 0x303, [](uint64_t lba, const AtomicContext::Record&) {
    ADD_FAILURE() << "record left at LBA " << lba;
  });
}

TEST(ReadCompletion, AbortedNormalReadIsNotRepeated) {
  CompletionHarness h;
  h.write(0, 5, 2);
  ASSERT_EQ(h.complete(0, h.kGood), 0);
  h.read(1);
  EXPECT_EQ(h.complete(1, h.kTaskAborted), 0);
  EXPECT_TRUE(h.drive().pendingReadBacks.empty());
  EXPECT_EQ(h.drive().commandTrace->lastCommand(1).kind, TraceEventKind::ReadAborted);
}

TEST(PreReadCompletion, HashesEveryBlockForTheAtomicWriteToCome) {
  CompletionHarness h([](AgentFixture& f) { f.set("WriteAtomic Condition", "atomic"); });
  *h.drive().lba = 400;
  *h.drive().xferLength = 4;
  *h.drive().atomicBound = 4;
  ASSERT_EQ(Cardamor::doAWriteAtomic(h.thread(), h.drive(), h.config(), 0, {}), 0);
  ASSERT_EQ(h.drive().outstandingPreReads.size(), 1u);  // unknown range: pre-read first
  Bytes data(4 * h.sectorSize());
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(h.complete(0, h.kGood, data), 0);
  EXPECT_TRUE(h.drive().outstandingPreReads.empty());
  ASSERT_EQ(h.drive().finishedPreReads.size(), 1u);
  for (uint64_t lba = 400; lba < 404; ++lba) {
    const auto expected = h.drive().atomicContext.lookup(lba);
    EXPECT_EQ(expected.blockType, 3u) << lba;
    EXPECT_EQ(expected.hashValue,
              Cardamor::blockHash(data.data() + (lba - 400) * h.sectorSize(), h.sectorSize()));
    EXPECT_EQ(h.drive().atomicContext.findRecord(lba)->ref_count, 1u);
  }
}

TEST(SyncCacheCompletion, OnlyGoodStatusCountsAsSynchronized) {
  CompletionHarness h;
  h.drive().syncCacheOutstanding = true;
  h.drive().commandTrace->recordSyncCacheIssued(4);
  h.report(4, h.kGood);
  EXPECT_EQ(Cardamor::dispatchCompletion(h.thread(), h.drive(), h.config()), 0);
  EXPECT_TRUE(h.drive().syncCacheSucceeded);
  EXPECT_FALSE(h.drive().syncCacheOutstanding);
  // The flag lives only for the pass of the completion.
  EXPECT_EQ(Cardamor::dispatchCompletion(h.thread(), h.drive(), h.config()), 0);
  EXPECT_FALSE(h.drive().syncCacheSucceeded);

  h.drive().syncCacheOutstanding = true;
  h.drive().commandTrace->recordSyncCacheIssued(4);
  h.report(4, h.kCheckCondition, {}, CompletionHarness::sense(1, 0, 0));
  EXPECT_EQ(Cardamor::dispatchCompletion(h.thread(), h.drive(), h.config()), 0);
  EXPECT_FALSE(h.drive().syncCacheSucceeded);
  EXPECT_FALSE(h.drive().syncCacheOutstanding);
}

// Verifies of a written range; "Verify Condition" set besides the read condition.
class VerifyCompletion : public ::testing::Test {
 protected:
  static void configure(AgentFixture& f) { f.set("Verify Condition", "verify"); }
  CompletionHarness h{configure};
  const Bytes miscompareSense = CompletionHarness::sense(0x0E, 0x1D, 0x00);
};

TEST_F(VerifyCompletion, DriveMiscompareOnKnownDataFails) {
  h.write(0, 0x10, 8);
  ASSERT_EQ(h.complete(0, h.kGood), 0);
  h.verify(1);
  EXPECT_EQ(h.complete(1, h.kCheckCondition, {}, miscompareSense), -1046);
  EXPECT_TRUE(
      h.logged("Miscompare Detected with a Verify command at LBA 0x0000000000000010 Transfer Length 0x008"))
      << h.log();
  EXPECT_TRUE(h.logged("recvVerify(): " + std::string(EventLog::errStr(-1046)) + " (-1046)"));
  EXPECT_TRUE(h.drive().miscompareSeen);
  EXPECT_EQ(h.drive().miscompareLba, 0x10u);
}

TEST_F(VerifyCompletion, DriveMiscompareThatIsCorrectedUndecodedOrExpectedIsNoError) {
  // Corrected sense; undecoded sense (another device interface); content unknown after a zone
  // reset; invalidated data that the drive no longer holds.
  const struct {
    const char* what;
    Bytes sense;
    int interface;
    int invalidate;  // -1 none, 1 zone reset, 0 external
  } cases[] = {{"corrected", CompletionHarness::sense(1, 0x1D, 0x00), 0, -1},
               {"undecoded", miscompareSense, 1, -1},
               {"unknown content", miscompareSense, 0, 1},
               {"invalidated", miscompareSense, 0, 0}};
  uint32_t tag = 0;
  uint64_t lba = 0x10;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    h.write(tag, lba, 2);
    ASSERT_EQ(h.complete(tag, h.kGood), 0);
    if (c.invalidate >= 0) h.drive().atomicContext.invalidateRange(lba, lba + 1, c.invalidate == 1);
    h.verify(tag + 1);
    *h.drive().deviceInterface = c.interface;
    EXPECT_EQ(h.complete(tag + 1, h.kCheckCondition, {}, c.sense), 0) << h.log();
    EXPECT_FALSE(h.drive().miscompareSeen);
    tag += 2;
    lba += 0x10;
  }
}

TEST_F(VerifyCompletion, ExpectedMiscompareMustBeReported) {
  h.write(0, 0x10, 2);
  ASSERT_EQ(h.complete(0, h.kGood), 0);
  h.drive().atomicContext.invalidateRange(0x10, 0x11, false);
  h.verify(1);
  // The drive still holds the invalidated data: it says GOOD.
  EXPECT_EQ(h.complete(1, h.kGood), -1046);
  EXPECT_TRUE(
      h.logged("Miscompare was expected from Verify command at LBA 0x0000000000000010 Transfer Length 0x002"))
      << h.log();
}

TEST_F(VerifyCompletion, AbortedVerifyIsTracedOnly) {
  h.write(0, 0x10, 2);
  ASSERT_EQ(h.complete(0, h.kGood), 0);
  h.verify(1);
  EXPECT_EQ(h.complete(1, h.kTaskAborted), 0);
  EXPECT_EQ(h.drive().commandTrace->lastCommand(1).kind, TraceEventKind::VerifyAborted);
  EXPECT_EQ(h.drive().atomicContext.recordCount(), 0u);
}

TEST(Showstop, OnlyWhenEnabledTheDriveIsStoppedAndItsSettingRestored) {
  for (bool on : {true, false}) {
    SCOPED_TRACE(on ? "showstop on" : "showstop off");
    CompletionHarness h([on](AgentFixture& f) { f.set("Showstop on Miscompare", on ? "true" : "false"); });
    Tavik& tavik = *h.fixture.tavik();
    const size_t before = tavik.requests().size();
    Cardamor::reportMiscompare(h.thread(), h.drive(), h.config(), 0x1234, 5, 6, 77, 0);

    const auto all = tavik.requests();
    const std::vector<Tavik::Request> requests(all.begin() + before, all.end());
    std::vector<uint32_t> kinds;
    for (const auto& r : requests) kinds.push_back(r.request);
    if (on) {
      // The drive's setting is read, set to 1, the showstop sent, the setting (0) put back.
      EXPECT_EQ(kinds, (std::vector<uint32_t>{kIoctlGetSetting, kIoctlSetSetting, Tavik::kSendRequest,
                                              kIoctlSetSetting, kIoctlMiscompareLba}));
      ASSERT_EQ(requests.size(), 5u);
      EXPECT_EQ(requests[1].args, std::vector<uint64_t>{1});
      EXPECT_EQ(requests[2].status, 0);
      EXPECT_EQ(requests[3].args, std::vector<uint64_t>{0});
    } else {
      EXPECT_EQ(kinds, std::vector<uint32_t>{kIoctlMiscompareLba});
    }
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().args, (std::vector<uint64_t>{0, 0x1234}));
    EXPECT_EQ(h.fixture.simDrive()->stopped(), on);
    EXPECT_TRUE(h.drive().miscompareSeen);
    EXPECT_EQ(h.drive().miscompareLba, 0x1234u);
  }
}

TEST(Showstop, WithoutADeviceTheReportStillStands) {
  AgentFixtureOptions options;
  options.withDevice = false;
  AgentFixture f(options);
  f.setBasicConditions();
  f.set("Showstop on Miscompare", "true");
  f.setTestMaxXferLength(8);
  ASSERT_EQ(f.setup(), 0);
  EXPECT_EQ(Cardamor::issueShowstop(f.thread()), -1053);
  Cardamor::reportMiscompare(f.thread(), f.drive(), f.config(), 3, 5, 6, 77, 0);
  const auto texts = f.logTexts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Failed to issue Showstop, tavik err -1053"), texts.end());
  EXPECT_TRUE(f.drive().miscompareSeen);
  EXPECT_EQ(f.drive().miscompareLba, 3u);
}

}  // namespace
}  // namespace varnox::testing
