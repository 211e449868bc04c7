// Write, read, verify and sync-cache completions as the host reports them, with the commands
// issued by the agent's own issue operations.
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "completion/Miscompare.h"
#include "completion/SenseInfo.h"
#include "plugin/TestData.h"
#include "plugin/completion/CompletionHarness.h"

namespace varnox::testing {
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
  for (const auto& row : caseRows("completion/cases/parse_sense.txt")) {
    SCOPED_TRACE(row[0]);
    CompletionHarness h;
    h.report(0, h.kCheckCondition, {},
             row[0] == "too short" ? Bytes{0x70, 0, 1, 0, 0, 0, 0} : CompletionHarness::sense(row[0]));
    *h.drive().deviceInterface = std::stoul(row[1]);
    cardamor::SenseInfo info;
    EXPECT_EQ(cardamor::parseSense(h.drive(), info), row[2] == "true");
    char decoded[64];
    std::snprintf(decoded, sizeof decoded, "%02X/%02X/%02X uec %X valid %u info %llX", info.kcq.key, info.kcq.code,
                  info.kcq.qual, info.uec, info.validBit, static_cast<unsigned long long>(info.information));
    EXPECT_EQ(decoded, row[3]);
  }
}

TEST(WriteCompletion, ReadBackAndHistoryFollowTheStatusAndSpliceDetection) {
  for (const auto& row : caseRows("completion/cases/write_completions.txt")) {
    SCOPED_TRACE(row[0]);
    CompletionHarness h([&](AgentFixture& f) {
      if (row[1] != "-") f.set(row[1], "true");
    });
    const bool linkedRead = row[4] == "true";
    const uint64_t w = h.write(0, 100, 8);
    if (linkedRead) h.read(1);
    EXPECT_EQ(h.complete(0, std::stoul(row[2], nullptr, 0), {}, CompletionHarness::sense(row[3])), 0);
    auto& d = h.drive();
    ASSERT_EQ(d.pendingReadBacks.size(), row[5] == "-" ? 0u : 1u);
    if (row[5] != "-") {
      EXPECT_EQ(d.pendingReadBacks.front().cmdId, w);
      EXPECT_EQ(std::to_string(d.pendingReadBacks.front().spliceSuspect), row[5]);
    }
    ASSERT_EQ(d.outstandingReads.size(), row[6] == "-" ? 0u : 1u);
    if (row[6] != "-") {
      EXPECT_EQ(std::to_string(d.outstandingReads.front().spliceSuspect), row[6]);
    }
    EXPECT_TRUE(row[5] != "-" || row[6] != "-" || d.atomicContext.recordCount() == 0) << "range forgotten";
    // The trace keeps the write's range and, for an error, its sense (a corrected one too).
    const cardamor::TraceEntry& e = d.commandTrace->chronological(d.commandTrace->retainedCount() - 1);
    EXPECT_EQ(std::tuple(e.lba, e.xferLength, e.cmdId, e.tag), std::tuple(100u, 8u, w, 0u));
    char traced[32] = "aborted";
    if (e.kind == TraceEventKind::WriteFinished)
      std::snprintf(traced, sizeof traced, "%02X/%02X/%02X uec %X", e.kcq.key, e.kcq.code, e.kcq.qual,
                    static_cast<unsigned>(e.bucket & 0xFFFFu));
    EXPECT_TRUE(e.kind == TraceEventKind::WriteFinished || e.kind == TraceEventKind::WriteAborted);
    EXPECT_EQ(traced, row[7]);
    if (linkedRead && row[2] == "2") {
      // The read keeps the records: blocks before the failing LBA stay written, the rest unknown.
      for (uint64_t lba = 100; lba < 108; ++lba) {
        const uint32_t b = d.atomicContext.lookup(lba).blockNum;
        EXPECT_TRUE(lba < 103 ? b < 0x80000u : b == 0x80001u) << lba << ": " << b;
      }
    }
  }
}

// An atomic write landed whole or not at all: failed or aborted, its read-back decides which.
TEST(WriteCompletion, FailedOrAbortedAtomicWriteIsAlwaysReadBack) {
  for (const uint32_t status : {CompletionHarness::kCheckCondition, CompletionHarness::kTaskAborted}) {
    SCOPED_TRACE(status);
    CompletionHarness h([](AgentFixture& f) { f.set("WriteAtomic Condition", "atomic"); });
    h.written(0, 0, 9);  // makes LBAs 0..8 known, so the atomic write needs no pre-read
    const uint64_t a = h.writeAtomic(1, 0, 8, 8);
    const Bytes sense = status == h.kTaskAborted ? Bytes{} : CompletionHarness::sense(3, 0x0C, 0, 0, true, 3);
    EXPECT_EQ(h.complete(1, status, {}, sense), 0);
    ASSERT_EQ(h.drive().pendingReadBacks.size(), 2u);
    EXPECT_EQ(h.drive().pendingReadBacks.back().cmdId, a);
    EXPECT_EQ(h.drive().pendingReadBacks.back().spliceSuspect, 0);
  }
}

// A write aborted with splice detection on is read back as a splice check, ahead of the
// read-backs waiting. A hard error on it is read twice more, then is a splice; unit error codes
// that say nothing of a torn write, or a second abort, end the check. The fault cases "splice"
// and "corrupt-in-aborted-write" pin the whole run.
TEST(SpliceCheck, HardErrorsAreRetriedThenASpliceUnlessExcludedOrAbortedTwice) {
  for (const auto& row : caseRows("completion/cases/splice_checks.txt")) {
    SCOPED_TRACE(row[0]);
    const int expectedReads = std::stoi(row[3]), result = std::stoi(row[4]);
    const Bytes sense = CompletionHarness::sense(4, 0x44, 0, std::stoul(row[2], nullptr, 16));
    CompletionHarness h([](AgentFixture& f) { f.set("Write Splice Detection", "true"); });
    const uint64_t cut = h.write(0, 0x300, 4);
    ASSERT_EQ(h.complete(0, h.kTaskAborted), 0);
    h.written(1, 0x900, 1);  // a normal read-back waits too
    int reads = 0, rc = 0;
    while (rc == 0 && h.drive().pendingReadBacks.size() > 1) {
      ++reads;
      h.read(2);
      ASSERT_EQ(h.drive().outstandingReads.back().lba, 0x300u);
      rc = h.complete(2, std::stoul(row[1], nullptr, 0), {}, sense);
    }
    EXPECT_EQ(reads, expectedReads);
    EXPECT_EQ(rc, result);
    EXPECT_EQ(h.drive().spliceDetected, result != 0);
    EXPECT_EQ(h.logged("Write Splice Detected at LBA 0x0000000000000300 Transfer Length 0x4"), result != 0);
    if (result != 0) {  // the diagnosis names the write that was cut short, not a later one elsewhere
      ASSERT_NE(h.drive().diagnosis, nullptr);
      EXPECT_EQ(h.drive().diagnosis->kind, "torn");
      EXPECT_EQ(h.drive().diagnosis->expectedCmdId, cut);
      EXPECT_TRUE(h.drive().diagnosis->text.starts_with("write " + std::to_string(cut) + " over 4 blocks was cut short"))
          << h.drive().diagnosis->text;
    }
    EXPECT_EQ(h.drive().pendingReadBacks.size(), 1u);
    // A check that ended without a splice gave up the range: the history forgot it.
    if (result == 0) {
      h.drive().atomicContext.forEachRecord(0x300, 0x303, [](uint64_t lba, const auto&) {
        ADD_FAILURE() << "record left at LBA " << lba;
      });
    }
  }
}

// A write covering a torn range heals it. While a splice check is open, writes are placed clear
// of its range; where there is no room, a try after such a write cannot clear the check, and
// the failed try before it stands: a splice.
TEST(SpliceCheck, WritesKeepClearOfTheRangeAndATryAfterOneThatLandedThereCannotClearIt) {
  const Bytes hardError = CompletionHarness::sense(4, 0x44, 0, 0x1234);
  for (const bool room : {true, false}) {
    SCOPED_TRACE(room);
    CompletionHarness h([](AgentFixture& f) { f.set("Write Splice Detection", "true"); });
    h.write(0, 0x300, 4);
    ASSERT_EQ(h.complete(0, h.kTaskAborted), 0);
    h.read(2);
    ASSERT_EQ(h.complete(2, h.kCheckCondition, {}, hardError), 0);  // retried
    *h.drive().minLba = room ? 0 : 0x300;
    *h.drive().maxLba = room ? 0xFFFF : 0x303;
    h.write(3, 0x301, 2);
    const cardamor::WriteRecord& write = h.drive().outstandingWrites.back();
    EXPECT_EQ(write.lba, room ? 0x304u : 0x301u);
    ASSERT_EQ(h.complete(3, h.kGood), 0);
    h.read(2);
    ASSERT_EQ(h.drive().outstandingReads.back().lba, 0x300u);
    EXPECT_EQ(h.complete(2, h.kGood), room ? 0 : -1062);
    EXPECT_EQ(h.logged("Write Splice Detected at LBA 0x0000000000000300 Transfer Length 0x4"), !room);
  }
}

TEST(ReadCompletion, AbortedNormalReadIsNotRepeated) {
  CompletionHarness h;
  h.written(0, 5, 2);
  h.read(1);
  EXPECT_EQ(h.complete(1, h.kTaskAborted), 0);
  EXPECT_TRUE(h.drive().pendingReadBacks.empty());
  EXPECT_EQ(h.drive().commandTrace->lastCommand(1).kind, TraceEventKind::ReadAborted);
}

TEST(VerifyCompletion, DriveVerdictAgainstWhatTheHistoryKnows) {
  for (const auto& row : caseRows("completion/cases/verify_verdicts.txt")) {
    SCOPED_TRACE(row[0]);
    const uint32_t length = std::stoul(row[1]);
    const std::string& before = row[2];
    const int result = std::stoi(row[6]);
    CompletionHarness h([](AgentFixture& f) {
      f.set({{"Verify Condition", "verify"}, {"WriteAtomic Condition", "atomic"}});
    });
    const bool atomic = before == "aborted-atomic";
    h.written(0, 0x10, length + atomic);  // the LBA after an atomic write known
    if (atomic) {
      h.writeAtomic(2, 0x10, length, length);
      ASSERT_EQ(h.complete(2, h.kTaskAborted), 0);
    }
    if (before == "zone-reset" || before == "invalidated" || before == "invalidated-untold")
      h.drive().atomicContext.invalidateRange(0x10, 0x11, before == "zone-reset");
    if (before == "invalidated-tail") h.drive().atomicContext.invalidateRange(0x10 + length - 2, 0x10 + length - 1, false);
    const uint64_t v = h.verify(1);
    if (before == "invalidated-untold") h.drive().outstandingVerifies.front().expectMiscompare = 0;
    if (before == "lost-registration") h.drive().atomicContext.readFinished(v, 0x10, false);
    if (before == "write-in-flight")  // an older write over the last block, sent and not completed
      h.drive().outstandingWrites.push_back(cardamor::WriteRecord{v - 1, 0, 0x10 + length - 1, 1, 9});
    *h.drive().deviceInterface = std::stoul(row[5]);
    std::string sense = row[4];
    if (const size_t at = sense.find(" block "); at != std::string::npos) {  // as the byte offset of that block
      std::ostringstream info;
      info << " info " << std::hex << std::stoul(sense.substr(at + 7)) * h.sectorSize();
      sense = sense.substr(0, at) + info.str();
    }
    EXPECT_EQ(h.complete(1, std::stoul(row[3], nullptr, 0), {}, CompletionHarness::sense(sense)), result)
        << h.log();
    EXPECT_TRUE(row[7] == "-" || h.logged(row[7])) << h.log();
    EXPECT_TRUE(result == 0 || h.logged(h.statusLine("recvVerify", result))) << h.log();
    EXPECT_EQ(h.drive().miscompareSeen, result == -1046);
    EXPECT_EQ(h.drive().miscompareLba, result == -1046 ? 0x10u : 0u);
    if (row[7].starts_with("Miscompare was expected")) {  // the first invalidated block that matched: 0x10
      ASSERT_NE(h.drive().diagnosis, nullptr);
      EXPECT_EQ(h.drive().diagnosis->lba, 0x10u);
    }
    if (row[3] == "0x40") {  // traced only
      EXPECT_EQ(h.drive().commandTrace->lastCommand(1).kind, TraceEventKind::VerifyAborted);
      EXPECT_EQ(h.drive().atomicContext.recordCount(), 0u);
    }
  }
}

TEST(Showstop, StopsTheDriveOnlyWhenEnabled) {
  for (const auto& row : caseRows("completion/cases/showstop.txt")) {
    SCOPED_TRACE(row[0] + " " + row[1] + " " + row[2]);
    const bool device = row[1] == "true";
    AgentFixtureOptions options;
    options.withDevice = device;
    options.drive.log2LogicalPerPhysical = std::stoul(row[2]);
    AgentFixture f(options);
    ASSERT_EQ(f.setupWith({{"Showstop on Miscompare", row[0]}}, 8), 0);
    const size_t before = device ? f.tavik()->requests().size() : 0;
    cardamor::reportMiscompare(f.thread(), f.drive(), f.config(), 0x1235, 5, 6, 77, 0);
    EXPECT_TRUE(f.drive().miscompareSeen);
    EXPECT_EQ(f.drive().miscompareLba, std::stoull(row[4], nullptr, 16));
    if (!device) {
      EXPECT_TRUE(f.logged("Failed to issue Showstop, tavik err -1053")) << f.log();
      continue;
    }
    std::ostringstream sent;
    const auto all = f.tavik()->requests();
    for (size_t i = before; i < all.size(); ++i) {
      const auto& r = all[i];
      sent << (i > before ? ", " : "") << (r.request == Tavik::kSendRequest ? "send" : std::to_string(r.request));
      for (uint64_t arg : r.args) sent << " " << std::hex << std::uppercase << arg << std::dec;
    }
    EXPECT_EQ(sent.str(), row[3]);
    EXPECT_EQ(f.simDrive()->stopped(), row[0] == "true");
  }
}

}  // namespace
}  // namespace varnox::testing
