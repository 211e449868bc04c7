// Write, read, verify and sync-cache completions as the host reports them, with the commands
// issued by the agent's own issue operations.
#include <gtest/gtest.h>

#include <tuple>

#include "completion/Miscompare.h"
#include "completion/SenseInfo.h"
#include "completion/ReferenceBlock.h"
#include "patterns/BlockLayout.h"
#include "plugin/completion/CompletionHarness.h"

namespace varnox::testing {
using cardamor::AtomicContext;
namespace {

using cardamor::TraceEventKind;

TEST(Dispatch, OnlyAFreshCompletionOfAPendingCommandIsHandled) {
  CompletionHarness h;
  h.write(0, 10, 2);
  // No completion reported, no tag, a tag that never carried a command: nothing handled.
  for (auto [tag, status] :
       {std::pair<uint32_t, uint32_t>{0, 0xFFFFFFFF}, {0xFFFFFFFF, h.kGood}, {5, h.kGood}}) {
    h.report(tag, status);
    EXPECT_EQ(h.dispatch(), 0);
    EXPECT_EQ(h.drive().outstandingWrites.size(), 1u) << tag;
  }
  // After a miscompare no completion is handled either.
  h.report(0, h.kGood);
  h.drive().miscompareSeen = true;
  EXPECT_EQ(h.dispatch(), 0);
  EXPECT_EQ(h.drive().outstandingWrites.size(), 1u);
  h.drive().miscompareSeen = false;
  // The real completion, then the same one shown again in a later pass: handled once.
  EXPECT_EQ(h.dispatch(), 0);
  EXPECT_TRUE(h.drive().outstandingWrites.empty());
  EXPECT_EQ(h.drive().pendingReadBacks.size(), 1u);
  EXPECT_EQ(h.drive().commandTrace->lastCommand(0).kind, TraceEventKind::WriteFinished);
  EXPECT_EQ(h.dispatch(), 0);
  EXPECT_EQ(h.drive().pendingReadBacks.size(), 1u);

  // A completion whose command record is gone is an internal error.
  h.write(1, 20, 1);
  h.drive().outstandingWrites.clear();
  EXPECT_EQ(h.complete(1, h.kGood), -1200);
  EXPECT_TRUE(h.logged("recvWrite(): Couldn't find write"));
}

TEST(ParseSense, DecodesOnlyUsableSenseAndTreatsKeyOneAsNoError) {
  using H = CompletionHarness;
  const struct {
    Bytes sense;
    uint32_t interface;  // "DeviceInterface"; only 0 is decoded
    bool hardError;
    uint8_t key, code, qual;
    uint16_t uec;
    uint8_t valid;  // fetched for a medium error only
    uint32_t information;
  } cases[] = {
      {H::sense(3, 0x11, 0x02, 0xABCD, true, 0x1234), 0, true, 3, 0x11, 0x02, 0xABCD, 1, 0x1234},
      {H::sense(4, 0x44, 0, 0, true, 0x1234), 0, true, 4, 0x44, 0, 0, 0, 0},
      {H::sense(1, 0x17, 0x01, 0x0101), 0, false, 1, 0x17, 0x01, 0x0101, 0, 0},
      {Bytes{0x70, 0, 1, 0, 0, 0, 0}, 0, true, 0, 0, 0, 0, 0, 0},  // too short: nothing decoded
      {H::sense(1, 0x17, 0x01), 1, true, 0, 0, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.sense));
    CompletionHarness h;
    h.report(0, h.kCheckCondition, {}, c.sense);
    *h.drive().deviceInterface = c.interface;
    cardamor::SenseInfo info;
    EXPECT_EQ(cardamor::parseSense(h.drive(), info), c.hardError);
    EXPECT_EQ(std::tuple(info.kcq.key, info.kcq.code, info.kcq.qual), std::tuple(c.key, c.code, c.qual));
    EXPECT_EQ(std::tuple(info.uec, info.validBit, info.information),
              std::tuple(c.uec, c.valid, c.information));
  }
}

// What a write's completion leaves: a read-back (a splice check or not), an outstanding read of
// the range made the splice check, or nothing, the history forgetting the range.
TEST(WriteCompletion, ReadBackAndHistoryFollowTheStatusAndSpliceDetection) {
  using H = CompletionHarness;
  const Bytes medium = H::sense(3, 0x0C, 0, 0, true, 103);  // fails from LBA 103 on
  struct Case {
    const char* name;
    const char* option;  // set to "true" when given
    uint32_t status;
    Bytes sense;
    bool linkedRead;  // a read of the range is outstanding when the write completes
    int queued;       // the read-back's spliceSuspect; -1 none queued
    int readSuspect;  // the linked read's spliceSuspect; -1 no read
  } cases[] = {
      {"corrected error", nullptr, H::kCheckCondition, H::sense(1, 0x17, 0x01, 0x0042), false, 0, -1},
      {"medium error", "Write Splice Detection", H::kCheckCondition, medium, false, -1, -1},
      {"medium error, read linked", "Write Splice Detection", H::kCheckCondition, medium, true, -1, 0},
      {"aborted", nullptr, H::kTaskAborted, {}, false, -1, -1},
      {"aborted, skip commands", "Use Skip Commands", H::kTaskAborted, {}, false, -1, -1},
      {"aborted, detection on", "Write Splice Detection", H::kTaskAborted, {}, false, 1, -1},
      {"aborted, detection on, read linked", "Write Splice Detection", H::kTaskAborted, {}, true, -1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CompletionHarness h([&c](AgentFixture& f) {
      if (c.option != nullptr) f.set(c.option, "true");
    });
    const uint64_t w = h.write(0, 100, 8);
    if (c.linkedRead) h.read(1);
    EXPECT_EQ(h.complete(0, c.status, {}, c.sense), 0);
    auto& d = h.drive();
    ASSERT_EQ(d.pendingReadBacks.size(), c.queued < 0 ? 0u : 1u);
    if (c.queued >= 0) {
      EXPECT_EQ(d.pendingReadBacks.front().cmdId, w);
      EXPECT_EQ(d.pendingReadBacks.front().spliceSuspect, c.queued);
    }
    ASSERT_EQ(d.outstandingReads.size(), c.readSuspect < 0 ? 0u : 1u);
    if (c.readSuspect >= 0) {
      EXPECT_EQ(d.outstandingReads.front().spliceSuspect, c.readSuspect);
    }
    EXPECT_TRUE(c.queued >= 0 || c.readSuspect >= 0 || d.atomicContext.recordCount() == 0)
        << "range forgotten";
    EXPECT_TRUE(c.status != H::kTaskAborted ||
                d.commandTrace->lastCommand(0).kind == TraceEventKind::WriteAborted);
    if (c.linkedRead && c.status == H::kCheckCondition) {
      // The read keeps the records: blocks before the failing LBA stay written, the rest unknown.
      for (uint64_t lba = 100; lba < 108; ++lba) {
        const uint32_t b = d.atomicContext.lookup(lba).blockNum;
        EXPECT_TRUE(lba < 103 ? b < 0x80000u : b == 0x80001u) << lba << ": " << b;
      }
    }
  }
}

TEST(WriteCompletion, FailedAtomicWriteIsAlwaysReadBack) {
  CompletionHarness h([](AgentFixture& f) { f.set("WriteAtomic Condition", "atomic"); });
  h.written(0, 0, 9);  // makes LBAs 0..8 known, so the atomic write needs no pre-read
  const uint64_t a = h.writeAtomic(1, 0, 8, 8);
  EXPECT_EQ(h.complete(1, h.kCheckCondition, {}, CompletionHarness::sense(3, 0x0C, 0, 0, true, 3)), 0);
  ASSERT_EQ(h.drive().pendingReadBacks.size(), 2u);
  EXPECT_EQ(h.drive().pendingReadBacks.back().cmdId, a);
  EXPECT_EQ(h.drive().pendingReadBacks.back().spliceSuspect, 0);
}

// A write aborted with splice detection on: its read-back is a splice check. That a hard error
// on it is a splice reaching the host, and that any data passes it, the fault cases "splice" and
// "corrupt-in-aborted-write" pin end to end.
class SpliceCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    h.write(0, 0x300, 4);
    ASSERT_EQ(h.complete(0, h.kTaskAborted), 0);
    h.read(1);
  }
  CompletionHarness h{[](AgentFixture& f) { f.set("Write Splice Detection", "true"); }};
};

TEST_F(SpliceCheck, ExcludedUnitErrorCodeIsNoSplice) {
  EXPECT_EQ(h.complete(1, h.kCheckCondition, {}, CompletionHarness::sense(4, 0x44, 0, 0xF510)), 0);
  EXPECT_FALSE(h.drive().spliceDetected);
  EXPECT_EQ(h.drive().atomicContext.recordCount(), 0u);
}

TEST_F(SpliceCheck, AbortedCheckIsRetriedOnceAtTheFront) {
  h.written(2, 0x900, 1);  // a normal read-back now waits too
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
  h.written(0, 5, 2);
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
  ASSERT_EQ(cardamor::doAWriteAtomic(h.thread(), h.drive(), h.config(), 0, {}), 0);
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
              cardamor::blockHash(data.data() + (lba - 400) * h.sectorSize(), h.sectorSize()));
    EXPECT_EQ(h.drive().atomicContext.findRecord(lba)->ref_count, 1u);
  }
}

TEST(SyncCacheCompletion, OnlyGoodStatusCountsAsSynchronized) {
  CompletionHarness h;
  h.drive().syncCacheOutstanding = true;
  h.drive().commandTrace->recordSyncCacheIssued(4);
  h.report(4, h.kGood);
  EXPECT_EQ(h.dispatch(), 0);
  EXPECT_TRUE(h.drive().syncCacheSucceeded);
  EXPECT_FALSE(h.drive().syncCacheOutstanding);
  // The flag lives only for the pass of the completion.
  EXPECT_EQ(h.dispatch(), 0);
  EXPECT_FALSE(h.drive().syncCacheSucceeded);

  h.drive().syncCacheOutstanding = true;
  h.drive().commandTrace->recordSyncCacheIssued(4);
  h.report(4, h.kCheckCondition, {}, CompletionHarness::sense(1, 0, 0));
  EXPECT_EQ(h.dispatch(), 0);
  EXPECT_FALSE(h.drive().syncCacheSucceeded);
  EXPECT_FALSE(h.drive().syncCacheOutstanding);
}

// Verifies of a written range at LBA 0x10: the drive's miscompare fails a verify of known data and
// is no error when corrected, undecoded or expected; GOOD on data that should have changed fails.
TEST(VerifyCompletion, DriveVerdictAgainstWhatTheHistoryKnows) {
  using H = CompletionHarness;
  const Bytes miscompare = H::sense(0x0E, 0x1D, 0x00);
  const struct {
    const char* what;
    uint32_t length;
    int invalidate;  // -1 none, 1 zone reset (content unknown), 0 external (old content must be gone)
    uint32_t status;
    Bytes sense;
    int interface;
    int result;
    const char* line;
  } cases[] = {
      {"known data", 8, -1, H::kCheckCondition, miscompare, 0, -1046,
       "Miscompare Detected with a Verify command at LBA 0x0000000000000010 Transfer Length 0x008"},
      {"expected miscompare missing",
       2,
       0,
       H::kGood,
       {},
       0,
       -1046,
       "Miscompare was expected from Verify command at LBA 0x0000000000000010 Transfer Length 0x002"},
      {"corrected", 2, -1, H::kCheckCondition, H::sense(1, 0x1D, 0x00), 0, 0, nullptr},
      {"undecoded", 2, -1, H::kCheckCondition, miscompare, 1, 0, nullptr},
      {"unknown content", 2, 1, H::kCheckCondition, miscompare, 0, 0, nullptr},
      {"invalidated", 2, 0, H::kCheckCondition, miscompare, 0, 0, nullptr},
      {"aborted", 2, -1, H::kTaskAborted, {}, 0, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CompletionHarness h([](AgentFixture& f) { f.set("Verify Condition", "verify"); });
    h.written(0, 0x10, c.length);
    if (c.invalidate >= 0) h.drive().atomicContext.invalidateRange(0x10, 0x11, c.invalidate == 1);
    h.verify(1);
    *h.drive().deviceInterface = c.interface;
    EXPECT_EQ(h.complete(1, c.status, {}, c.sense), c.result) << h.log();
    EXPECT_TRUE(c.line == nullptr || h.logged(c.line)) << h.log();
    EXPECT_TRUE(c.result == 0 || h.logged(h.statusLine("recvVerify", c.result))) << h.log();
    EXPECT_EQ(h.drive().miscompareSeen, c.result != 0);
    EXPECT_EQ(h.drive().miscompareLba, c.result != 0 ? 0x10u : 0u);
    if (c.status == H::kTaskAborted) {  // traced only
      EXPECT_EQ(h.drive().commandTrace->lastCommand(1).kind, TraceEventKind::VerifyAborted);
      EXPECT_EQ(h.drive().atomicContext.recordCount(), 0u);
    }
  }
}

TEST(Showstop, OnlyWhenEnabledTheDriveIsStoppedAndItsSettingRestored) {
  for (bool on : {true, false}) {
    SCOPED_TRACE(on ? "showstop on" : "showstop off");
    CompletionHarness h([on](AgentFixture& f) { f.set("Showstop on Miscompare", on ? "true" : "false"); });
    Tavik& tavik = *h.tavik();
    const size_t before = tavik.requests().size();
    cardamor::reportMiscompare(h.thread(), h.drive(), h.config(), 0x1234, 5, 6, 77, 0);

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
    EXPECT_EQ(h.simDrive()->stopped(), on);
    EXPECT_TRUE(h.drive().miscompareSeen);
    EXPECT_EQ(h.drive().miscompareLba, 0x1234u);
  }
}

TEST(Showstop, TheRecordedLbaIsTheOneTheDeviceHandsBack) {
  AgentFixtureOptions options;
  options.drive.log2LogicalPerPhysical = 3;  // 8 blocks per physical block
  AgentFixture f(options);
  f.setBasicConditions();
  f.setTestMaxXferLength(8);
  ASSERT_EQ(f.setup(), 0);
  cardamor::reportMiscompare(f.thread(), f.drive(), f.config(), 0x1235, 5, 6, 77, 0);
  EXPECT_EQ(f.drive().miscompareLba, 0x1230u);
  ASSERT_EQ(f.simDrive()->miscompareLog().size(), 1u);
  EXPECT_EQ(f.simDrive()->miscompareLog()[0].lba, 0x1235u);
  EXPECT_EQ(f.simDrive()->miscompareLog()[0].physicalBlock, 0x1230u);
}

TEST(Showstop, WithoutADeviceTheReportStillStands) {
  AgentFixtureOptions options;
  options.withDevice = false;
  AgentFixture f(options);
  f.setBasicConditions();
  f.set("Showstop on Miscompare", "true");
  f.setTestMaxXferLength(8);
  ASSERT_EQ(f.setup(), 0);
  EXPECT_EQ(cardamor::issueShowstop(f.thread()), -1053);
  cardamor::reportMiscompare(f.thread(), f.drive(), f.config(), 3, 5, 6, 77, 0);
  EXPECT_TRUE(f.logged("Failed to issue Showstop, tavik err -1053")) << f.log();
  EXPECT_TRUE(f.drive().miscompareSeen);
  EXPECT_EQ(f.drive().miscompareLba, 3u);
}

}  // namespace
}  // namespace varnox::testing
