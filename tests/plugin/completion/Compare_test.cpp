// Reads of blocks the agent really wrote, taken through read completion and the compare engine.
#include "completion/Compare.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "issue/CommandSelection.h"
#include "issue/WriteIssue.h"
#include "patterns/BlockLayout.h"
#include "plugin/TestData.h"
#include "plugin/completion/CompletionHarness.h"

namespace varnox::testing {
namespace {

// The first differing block is named with the first offset and number of differing bytes, and
// the read's CDB.
TEST(CompareEngine, ChangedBytesAreReportedAtTheirBlock) {
  for (const auto& row : caseRows("completion/cases/changed_bytes.txt")) {
    SCOPED_TRACE(row[0]);
    const std::string& option = row[1];
    const uint32_t length = std::stoul(row[2]);
    const uint64_t step = option == "-" ? 1 : 2;
    // Five buckets and writes of four blocks: every write takes buckets 0 to 3.
    CompletionHarness h([&](AgentFixture& f) {
      f.set("Bucket Count", "5");
      if (option != "-") f.set(option, "true");
    });
    const uint64_t first = h.written(0, 0x60, 4);
    h.read(1);
    ASSERT_EQ(h.complete(1, h.kGood, h.blocks(first, 0x60, 4, step)), 0) << h.log();
    EXPECT_EQ(h.drive().atomicContext.findRecord(0x60), nullptr) << "a good read-back releases the history";
    const uint64_t w = h.written(2, 0x20, length);
    h.read(3);
    Bytes data = h.blocks(w, 0x20, length, step);
    const size_t changed = std::stoul(row[3]) * h.sectorSize();
    for (const std::string& offset : split(row[4], ", ")) data[changed + std::stoul(offset)] ^= 0x5A;
    if (row[4] == "-") data.resize(data.size() - h.sectorSize() / 2);
    Bytes cdb = row[5] == "10" ? Bytes(10, 0x28) : h.cdb16();
    if (row[5] == "seq")
      for (size_t i = 0; i < cdb.size(); ++i) cdb[i] = static_cast<uint8_t>(0x80 + i);
    EXPECT_EQ(h.executePass(3, h.kGood, data, {}, cdb), -1046);
    EXPECT_TRUE(h.logged(row[6])) << h.log();
    EXPECT_TRUE(row[7] == "-" || h.logged(row[7])) << h.log();
    EXPECT_TRUE(h.logged(h.statusLine("execute", -1046))) << h.log();
    const auto& d = h.drive();
    EXPECT_TRUE(d.miscompareSeen);
    // The failing read is gone from the queue and the history; the trace explains it.
    EXPECT_TRUE(d.compareQueue.empty());
    EXPECT_EQ(d.atomicContext.findRecord(0x20), nullptr);
    EXPECT_NE(d.commandTrace->context_text().find("Context History for lba 0x"), std::string::npos);
  }
}

TEST(CompareEngine, InvalidatedBlockMustNoLongerHoldItsOldData) {
  CompletionHarness h;
  const uint64_t w = h.written(0, 0x40, 2);
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
  const uint64_t other = h.written(2, 500, 1);
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
  // The host sends its next command on tag 1: the tag's read buffer now holds other data (here
  // the blocks as written). The held read is judged on what it returned.
  const Bytes good = h.blocks(w, 200, 4);
  h.drive().readDataPtr->buffer(1)->assign(good.data(), good.size());

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
TEST(AbortedAtomicWrite, AllOldOrAllNewDataIsAcceptedAndATornUnitFails) {
  for (uint32_t fresh : {0, 4, 2}) {  // leading blocks that hold the atomic write's data
    SCOPED_TRACE(fresh);
    CompletionHarness h([](AgentFixture& f) { f.set("WriteAtomic Condition", "atomic"); });
    const uint64_t old = h.written(0, 0, 5);  // LBA 4 too: the atomic range is known, no pre-read
    const uint64_t atomic = h.writeAtomic(1, 0, 4, 4);
    h.read(2);  // the old write's read-back, issued while the atomic write is outstanding
    EXPECT_EQ(h.complete(1, h.kTaskAborted), 0);
    Bytes data = h.blocks(atomic, 0, fresh);
    CompletionHarness::append(data, h.blocks(old, fresh, 5 - fresh));
    if (fresh != 2) {
      EXPECT_EQ(h.complete(2, h.kGood, data), 0) << h.log();
      EXPECT_FALSE(h.drive().miscompareSeen);
      continue;
    }
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    const int rc = h.executePass(2, h.kGood, data);
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, -1063);
    EXPECT_NE(err.find("atomic data ordering failure lba:0x2\n"), std::string::npos) << err;
    EXPECT_NE(out.find("atomic data ordering failure\nContext History for lba 0x1:"), std::string::npos) << out;
    EXPECT_TRUE(h.logged(h.statusLine("execute", -1063))) << h.log();
    EXPECT_TRUE(h.drive().miscompareSeen);
    EXPECT_EQ(h.drive().miscompareLba, 2u);
    // The block holding older data inside the unit, and the unit's version of it.
    const auto& drive = *h.drive().miscompareDriveBytes;
    const auto& reference = *h.drive().miscompareReferenceBytes;
    EXPECT_EQ(Bytes(drive.data, drive.data + drive.size), h.blocks(old, 2, 1));
    EXPECT_EQ(Bytes(reference.data, reference.data + reference.size), h.blocks(atomic, 2, 1));
    ASSERT_NE(h.drive().diagnosis, nullptr);
    EXPECT_EQ(h.drive().diagnosis->kind, "torn");
    EXPECT_EQ(h.drive().diagnosis->foundCmdId, old);
    EXPECT_EQ(h.drive().diagnosis->expectedCmdId, atomic);
  }
}

// The same over LBAs a trim zeroed: zeros carry no stamp, yet inside a unit whose other blocks
// hold the atomic write they are its older content, and the unit is torn.
TEST(AbortedAtomicWrite, ATornUnitOverTrimmedBlocksFails) {
  for (uint32_t fresh : {0, 4, 2}) {
    SCOPED_TRACE(fresh);
    CompletionHarness h([](AgentFixture& f) {
      f.set("WriteAtomic Condition", "atomic");
      f.set("Trim Condition", "trim");
    });
    *h.drive().lba = 0;
    *h.drive().xferLength = 5;  // LBA 4 too: the atomic range is known, no pre-read
    cardamor::readSelectionFlags trim;
    trim.trim = true;
    ASSERT_EQ(cardamor::doAWrite(h.thread(), h.drive(), h.config(), 0, trim), 0);
    ASSERT_EQ(h.complete(0, h.kGood), 0);
    const uint64_t atomic = h.writeAtomic(1, 0, 4, 4);
    h.read(2);  // the trim's read-back, issued while the atomic write is outstanding
    EXPECT_EQ(h.complete(1, h.kTaskAborted), 0);
    Bytes data = h.blocks(atomic, 0, fresh);
    data.resize(5 * h.sectorSize(), 0);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    const int rc = h.executePass(2, h.kGood, data);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, fresh == 2 ? -1063 : 0) << h.log();
    EXPECT_EQ(h.drive().miscompareSeen, fresh == 2);
    if (fresh == 2) {
      EXPECT_NE(err.find("atomic data ordering failure lba:0x2\n"), std::string::npos) << err;
    }
  }
}

// The outcome of a pass that may report a torn unit, and what it printed to stderr.
std::pair<int, std::string> quietly(const std::function<int()>& pass) {
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  const int rc = pass();
  const std::string err = ::testing::internal::GetCapturedStderr();
  ::testing::internal::GetCapturedStdout();
  return {rc, err};
}

// Content the history never knew: what a drive holds before the test writes there.
Bytes unknownBlocks(uint32_t sectorSize, uint32_t count) {
  Bytes data(size_t{sectorSize} * count);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  return data;
}

// An atomic write over blocks the history does not know takes their old content from a pre-read,
// and may be sent while that pre-read is still out. Aborted, and read back before the pre-read is
// in, its unit may hold all old or all new data, never a mix: nothing names the old half yet, but
// it is none of the unit's data, so it is older.
TEST(AbortedAtomicWrite, ATornUnitFailsBeforeThePreReadOfItsOldContentIsIn) {
  for (uint32_t fresh : {0, 4, 2}) {
    SCOPED_TRACE(fresh);
    CompletionHarness h([](AgentFixture& f) { f.set("WriteAtomic Condition", "atomic"); });
    *h.drive().lba = 0;
    *h.drive().xferLength = 4;
    *h.drive().atomicBound = 4;
    ASSERT_EQ(cardamor::doAWriteAtomic(h.thread(), h.drive(), h.config(), 0, {}), 0);  // the pre-read
    ASSERT_EQ(h.drive().outstandingPreReads.size(), 1u);
    const uint64_t atomic = h.writeAtomic(1, 0, 4, 4);  // sent with its pre-read still out
    EXPECT_EQ(h.complete(1, h.kTaskAborted), 0);
    h.read(2);
    const Bytes old = unknownBlocks(h.sectorSize(), 4);
    Bytes data = h.blocks(atomic, 0, fresh);
    data.insert(data.end(), old.begin() + fresh * h.sectorSize(), old.end());
    const auto [rc, err] = quietly([&] { return h.executePass(2, h.kGood, data); });
    EXPECT_EQ(rc, fresh == 2 ? -1063 : 0) << h.log();
    EXPECT_EQ(h.drive().miscompareSeen, fresh == 2);
    if (fresh == 2) {
      EXPECT_NE(err.find("atomic data ordering failure lba:0x2\n"), std::string::npos) << err;
      continue;
    }
    // The pre-read comes in last with the old content, which the atomic write may have left.
    EXPECT_EQ(h.complete(0, h.kGood, old), 0) << h.log();
  }
}

// A block whose stamp names an aborted atomic write (its outcome open) must be that write's
// block whole: a byte changed past the stamp fails at that block, as in any other block.
TEST(AbortedAtomicWrite, ADamagedBlockOfTheAbortedWriteFails) {
  CompletionHarness h([](AgentFixture& f) { f.set("WriteAtomic Condition", "atomic"); });
  const uint64_t old = h.written(0, 0, 5);  // LBA 4 too: the atomic range is known, no pre-read
  const uint64_t atomic = h.writeAtomic(1, 0, 4, 4);
  h.read(2);
  EXPECT_EQ(h.complete(1, h.kTaskAborted), 0);
  Bytes data = h.blocks(atomic, 0, 4);
  CompletionHarness::append(data, h.blocks(old, 4, 1));
  data[3 * size_t{h.sectorSize()} + 200] ^= 0x01;
  EXPECT_EQ(quietly([&] { return h.complete(2, h.kGood, data); }).first, -1046) << h.log();
  EXPECT_TRUE(h.drive().miscompareSeen);
  EXPECT_EQ(h.drive().miscompareLba, 3u);
}

// The placeholder of content the history no longer knows is older only than the writes issued
// after it. A completed atomic write over LBAs 2 to 5, one unit, was read back at LBAs 2 and 3
// alone, and their history released; LBAs 4 and 5 still name it. An atomic write over LBAs 0 to
// 5 in units of two, sent while the pre-read of LBAs 2 and 3 was out, is aborted: it may land
// any of its units whole. Each row: whose block the read returns at LBAs 0 to 5 (o: the plain
// write under both, d: the completed atomic write, a: the aborted one), and the LBA where a unit
// is torn ("-": none). The completed unit whole beside a landed unit is legal, though only its
// second half is known to the history.
TEST(AbortedAtomicWrite, ContentTheHistoryForgotMayBeAUnitItStillNamesElsewhere) {
  const std::pair<const char*, const char*> rows[] = {{"aadddd", "-"},   {"aaaaaa", "-"},  {"oodddd", "-"},
                                                      {"aaaadd", "-"},   {"aaddaa", "-"},  {"aodddd", "0x1"},
                                                      {"aaaddd", "0x3"}, {"aadadd", "0x2"}};
  for (const auto& [holders, tornAt] : rows) {
    SCOPED_TRACE(holders);
    CompletionHarness h([](AgentFixture& f) { f.set("WriteAtomic Condition", "atomic"); });
    const uint64_t old = h.written(0, 0, 7);  // LBA 6 too: the ranges are known, no pre-read
    const uint64_t done = h.writeAtomic(1, 2, 4, 4);
    ASSERT_EQ(h.complete(1, h.kGood), 0);
    for (uint32_t tag : {2, 3}) {  // the two writes' read-backs of LBAs 2 and 3 release them
      h.drive().pendingReadBacks.push_front(cardamor::ReadBackRequest{0, 2, 2, 0, 0, 0});
      h.read(tag);
      ASSERT_EQ(h.complete(tag, h.kGood, h.blocks(done, 2, 2)), 0) << h.log();
    }
    ASSERT_EQ(h.drive().atomicContext.findRecord(2), nullptr);
    ASSERT_NE(h.drive().atomicContext.findRecord(4), nullptr);
    *h.drive().lba = 0;
    *h.drive().xferLength = 6;
    *h.drive().atomicBound = 2;
    ASSERT_EQ(cardamor::doAWriteAtomic(h.thread(), h.drive(), h.config(), 0, {}), 0);  // the pre-read
    ASSERT_EQ(h.drive().outstandingPreReads.size(), 1u);
    const cardamor::PreReadRecord preRead = h.drive().outstandingPreReads.front();
    const uint64_t aborted = h.writeAtomic(1, 0, 6, 2);
    EXPECT_EQ(h.complete(1, h.kTaskAborted), 0);
    h.read(2);  // the plain write's read-back, LBAs 0 to 6
    auto writer = [&](char holder) { return holder == 'o' ? old : holder == 'd' ? done : aborted; };
    Bytes data;
    for (uint64_t lba = 0; lba < 6; ++lba)
      CompletionHarness::append(data, h.block(writer(holders[lba]), lba));
    CompletionHarness::append(data, h.block(old, 6));
    const bool torn = std::string(tornAt) != "-";
    const auto [rc, err] = quietly([&] { return h.executePass(2, h.kGood, data); });
    EXPECT_EQ(rc, torn ? -1063 : 0) << h.log();
    EXPECT_EQ(h.drive().miscompareSeen, torn);
    if (torn) {
      EXPECT_NE(err.find(std::string("atomic data ordering failure lba:") + tornAt + "\n"), std::string::npos)
          << err;
      continue;
    }
    // The pre-read comes in last with what the drive held before the aborted write.
    Bytes before;
    for (uint64_t lba = preRead.lba; lba < preRead.lba + preRead.xferLength; ++lba)
      CompletionHarness::append(before, h.block(lba < 2 ? old : done, lba));
    EXPECT_EQ(h.complete(preRead.tag, h.kGood, before), 0) << h.log();
  }
}

// A pre-read over blocks an older write still covers races that write. Under a plain write each
// block may hold the old or the new data; under an atomic write the unit holds all old or all new
// data even then, and a pre-read that finds it mixed has seen it torn (often the only read that
// can: the atomic write the pre-read serves covers the unit next).
TEST(AbortedAtomicWrite, APreReadRacingAnAtomicWriteSeesItsUnitTorn) {
  for (const bool atomicRacer : {true, false}) {
    for (uint32_t fresh : {0, 4, 2}) {  // leading blocks of the racing write's range that hold its data
      SCOPED_TRACE(std::string(atomicRacer ? "atomic " : "plain ") + std::to_string(fresh));
      CompletionHarness h([](AgentFixture& f) { f.set("WriteAtomic Condition", "atomic"); });
      const uint64_t old = h.written(0, 2, 5);  // LBA 6 too: the racer's range is known, no pre-read
      const uint64_t racer = atomicRacer ? h.writeAtomic(1, 2, 4, 4) : h.write(1, 2, 4);
      // An atomic write over LBAs 0 to 5, two of them unknown: its pre-read goes first.
      *h.drive().lba = 0;
      *h.drive().xferLength = 6;
      *h.drive().atomicBound = 2;
      ASSERT_EQ(cardamor::doAWriteAtomic(h.thread(), h.drive(), h.config(), 2, {}), 0);
      ASSERT_EQ(h.drive().outstandingPreReads.size(), 1u);
      Bytes data = unknownBlocks(h.sectorSize(), 2);
      CompletionHarness::append(data, h.blocks(racer, 2, fresh));
      CompletionHarness::append(data, h.blocks(old, 2 + fresh, 4 - fresh));
      const bool torn = atomicRacer && fresh == 2;
      const auto [rc, err] = quietly([&] { return h.complete(2, h.kGood, data); });
      EXPECT_EQ(rc, torn ? -1063 : 0) << h.log();
      EXPECT_EQ(h.drive().miscompareSeen, torn);
      if (torn) {
        EXPECT_NE(err.find("atomic data ordering failure lba:0x4\n"), std::string::npos) << err;
      }
    }
  }
  // Two atomic writes in flight, the older over LBAs 4 to 7 and the newer over 2 to 5: the drive
  // may run the newer first, and the older then lands over LBAs 4 and 5 inside the newer's unit.
  // Blocks under more than one write in flight are left out, so that this passes.
  CompletionHarness h([](AgentFixture& f) { f.set("WriteAtomic Condition", "atomic"); });
  h.written(0, 2, 7);
  const uint64_t older = h.writeAtomic(1, 4, 4, 4);
  const uint64_t newer = h.writeAtomic(2, 2, 4, 4);
  *h.drive().lba = 0;
  *h.drive().xferLength = 8;
  *h.drive().atomicBound = 2;
  ASSERT_EQ(cardamor::doAWriteAtomic(h.thread(), h.drive(), h.config(), 3, {}), 0);
  Bytes data = unknownBlocks(h.sectorSize(), 2);
  CompletionHarness::append(data, h.blocks(newer, 2, 2));
  CompletionHarness::append(data, h.blocks(older, 4, 4));
  EXPECT_EQ(quietly([&] { return h.complete(3, h.kGood, data); }).first, 0) << h.log();
  EXPECT_FALSE(h.drive().miscompareSeen);
}

// Fewer bytes than blocks: the first block beyond the data ends the compare. No data at all.
// Data the host marked invalid (zeros here) is released without a compare.
TEST(CompareEngine, ReadDataThatCannotBeComparedIsReleased) {
  const struct {
    uint32_t blocks;  // of the write's data returned; 0 none
    bool valid;
    int status;
    std::vector<std::string> errors;  // the level-2 line and the function reporting the status
  } cases[] = {{2, true, -1057, {"dataCompare() Read pointer: offset > buff size", "doCompares"}},
               {0, true, -1022, {"Read Buffer == NULL", "recvRead"}},
               {4, false, 0, {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    CompletionHarness h;
    const uint64_t w = h.written(0, 50, 4);
    h.read(1);
    const Bytes data = c.blocks ? h.blocks(w, 50, c.blocks) : Bytes{};
    h.report(1, h.kGood, c.valid ? data : Bytes(data.size(), 0));
    *h.drive().readDataIsValid = c.valid;
    EXPECT_EQ(h.execute(), c.status);
    std::vector<std::string> errors = c.errors;
    if (c.status != 0)
      errors = {errors[0], h.statusLine(errors[1], c.status), h.statusLine("execute", c.status)};
    EXPECT_EQ(h.errors(), errors);
    EXPECT_TRUE(h.drive().compareQueue.empty());
  }
}

// Blocks known only by the hash of what a pre-read returned: a read must return those bytes.
TEST(CompareEngine, PreReadBlocksAreJudgedByTheirHash) {
  for (bool changed : {false, true}) {
    SCOPED_TRACE(changed ? "changed" : "unchanged");
    CompletionHarness h([](AgentFixture& f) { f.set("WriteAtomic Condition", "atomic"); });
    *h.drive().lba = 400;
    *h.drive().xferLength = 2;
    *h.drive().atomicBound = 2;
    ASSERT_EQ(cardamor::doAWriteAtomic(h.thread(), h.drive(), h.config(), 0, {}), 0);  // pre-read first
    Bytes data(2 * h.sectorSize());
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(h.complete(0, h.kGood, data), 0);
    ASSERT_EQ(h.drive().finishedPreReads.size(), 1u);  // kept for the atomic write to come
    h.drive().pendingReadBacks.push_back(cardamor::ReadBackRequest{0, 400, 2, 0, 0});
    h.read(1);
    if (changed) data[h.sectorSize() + 9] ^= 1;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(h.complete(1, h.kGood, data), changed ? -1046 : 0) << h.log();
    EXPECT_EQ(::testing::internal::GetCapturedStdout().find("hash compare fail") != std::string::npos, changed);
    EXPECT_EQ(h.drive().miscompareSeen, changed);
    EXPECT_EQ(h.drive().miscompareLba, changed ? 401u : 0u);
  }
}

// A pre-read must return what the history knows of its blocks: a completed write's data, or the
// bytes an earlier pre-read hashed. Blocks it knows nothing of may hold anything. The pre-read
// covers LBAs 0x20 to 0x25: a completed write over 0x20 to 0x23, a hash at 0x24, nothing at
// 0x25. Each row changes one byte of one block (-1: none).
TEST(CompareEngine, APreReadMustFindWhatTheHistoryKnows) {
  const struct {
    int changed;  // block of the pre-read
    int status;
    uint64_t failLba;
  } rows[] = {{-1, 0, 0}, {0, -1046, 0x20}, {3, -1046, 0x23}, {4, -1046, 0x24}, {5, 0, 0}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.changed);
    CompletionHarness h([](AgentFixture& f) { f.set("WriteAtomic Condition", "atomic"); });
    const uint64_t written = h.written(0, 0x20, 4);
    const Bytes hashed = unknownBlocks(h.sectorSize(), 1);
    const uint64_t hasher = h.drive().nextCmdId++;  // a pre-read that completed long ago
    ASSERT_EQ(h.drive().atomicContext.addHash(hasher, 0x24, cardamor::blockHash(hashed.data(), hashed.size()), true),
              0);
    *h.drive().lba = 0x20;
    *h.drive().xferLength = 6;
    *h.drive().atomicBound = 2;
    ASSERT_EQ(cardamor::doAWriteAtomic(h.thread(), h.drive(), h.config(), 2, {}), 0);  // 0x25 is unknown
    ASSERT_EQ(h.drive().outstandingPreReads.size(), 1u);
    ASSERT_EQ(h.drive().outstandingPreReads.front().lba, 0x20u);
    Bytes data = h.blocks(written, 0x20, 4);
    CompletionHarness::append(data, hashed);
    CompletionHarness::append(data, Bytes(h.sectorSize(), 0x6b));
    if (r.changed >= 0) data[size_t(r.changed) * h.sectorSize() + 100] ^= 0x10;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(h.complete(2, h.kGood, data), r.status) << h.log();
    EXPECT_EQ(::testing::internal::GetCapturedStdout().find("hash compare fail") != std::string::npos,
              r.changed == 4);
    EXPECT_EQ(h.drive().miscompareSeen, r.status != 0);
    EXPECT_EQ(h.drive().miscompareLba, r.failLba);
  }
}

// Two writes over one block, the older covered by a sync, then a power loss: the block may hold
// either. A read after the power-on that finds the newer data proves it survived, and a later
// read that finds the older data again is a drive that reverted it. Without a read of the newer
// data both reads may find either.
TEST(PowerLoss, ContentSeenAfterThePowerOnMustStay) {
  const struct {
    bool firstNew, secondNew;
    int second;  // the second read's status
  } cases[] = {{true, true, 0}, {true, false, -1046}, {false, false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.firstNew ? "new" : "old") + (c.secondNew ? " new" : " old"));
    CompletionHarness h;
    const uint64_t older = h.written(0, 0x40, 1);
    const uint64_t newer = h.written(1, 0x40, 1);
    h.drive().powerEpoch = 1;
    h.drive().atomicContext.mayBeLost(newer, {}, {}, h.drive().powerEpoch);
    h.read(2);
    ASSERT_EQ(h.complete(2, h.kGood, h.block(c.firstNew ? newer : older, 0x40)), 0) << h.log();
    h.read(3);
    EXPECT_EQ(h.complete(3, h.kGood, h.block(c.secondNew ? newer : older, 0x40)), c.second) << h.log();
    EXPECT_EQ(h.drive().miscompareSeen, c.second != 0);
  }
}


// An agent of one slice of a drive with a volatile cache, and the variables through which the
// host numbers the completions it hands the slice and reports the other slices' syncs.
struct SliceAgent {
  CompletionHarness h;
  uint64_t number = 0, before = 0, after = 0;
  uint32_t volatileCache = 1;

  SliceAgent() {
    h.drive().completionNumber = &number;
    h.drive().syncedCompletionsBeforePowerOn = &before;
    h.drive().syncedCompletions = &after;
    h.drive().writeCacheVolatile = &volatileCache;
  }
  // A pass that completes and sends nothing (a write it sent would stay in flight, and no sync
  // could cover the writes after it), told of a power-on when `epo` is set and of other slices'
  // syncs done before it and since.
  int pass(uint32_t epo, uint64_t syncedBefore, uint64_t syncedSince) {
    *h.drive().epo = epo;
    before = syncedBefore;
    after = syncedSince;
    h.thread().freeTagQueue().setClosed(true);
    h.report(kNoTag, 0xFFFFFFFF);
    const int status = h.execute();
    h.thread().freeTagQueue().setClosed(false);
    before = after = 0;
    return status;
  }
};

// A slice's write is flushed by another slice's sync too. The host numbers the completions it
// hands the slice and says up to which number a sync of another slice covered them: a write
// covered before the power loss must keep its data, one the sync came too early for (or that
// a sync after the power-on covered) may legally show its old data.
TEST(PowerLoss, AnotherSlicesSyncKeepsTheWritesThatCompletedBeforeItWasSent) {
  const struct {
    const char* name;
    uint64_t beforePowerOn, after;  // what the host reports at the power-on pass
    int oldContent;                 // a read that finds the block's older data after it
  } cases[] = {
      {"no sync", 0, 0, 0},
      {"a sync sent after the newer write completed, done before the loss", 2, 0, -1046},
      {"a sync sent after it, covering later completions too", 7, 0, -1046},
      {"a sync sent before the newer write completed", 1, 0, 0},
      {"a sync done after the power-on", 0, 2, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SliceAgent a;
    a.number = 1;
    const uint64_t older = a.h.written(0, 0x40, 1);
    a.number = 2;
    a.h.written(1, 0x40, 1);
    ASSERT_EQ(a.pass(1, c.beforePowerOn, c.after), 0) << a.h.log();
    ASSERT_EQ(a.h.drive().powerEpoch, 1u);
    a.h.read(2);
    EXPECT_EQ(a.h.complete(2, a.h.kGood, a.h.block(older, 0x40)), c.oldContent) << a.h.log();
  }
}

// The same for a sync of another slice reported at an ordinary pass after a power-on: it covers
// the writes completed since, so the next power loss must not take them.
TEST(PowerLoss, AnotherSlicesSyncAfterAPowerOnCoversTheWritesForTheNextLoss) {
  const struct {
    uint64_t synced;  // the completion number the sync reported between the two power-ons covered
    int oldContent;   // a read that finds the block's older data after the second power-on
  } cases[] = {{0, 0}, {1, 0}, {2, -1046}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.synced);
    SliceAgent a;
    a.number = 1;
    const uint64_t older = a.h.written(0, 0x40, 1);
    ASSERT_EQ(a.pass(1, 0, 0), 0) << a.h.log();  // the first power-on
    a.number = 2;
    a.h.written(1, 0x40, 1);
    ASSERT_EQ(a.pass(0, 0, c.synced), 0) << a.h.log();
    ASSERT_EQ(a.pass(1, 0, 0), 0) << a.h.log();  // the second
    ASSERT_EQ(a.h.drive().powerEpoch, 2u);
    a.h.read(2);
    EXPECT_EQ(a.h.complete(2, a.h.kGood, a.h.block(older, 0x40)), c.oldContent) << a.h.log();
  }
}

}  // namespace
}  // namespace varnox::testing
