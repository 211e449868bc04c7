// The compact form of settled LBAs answers every operation exactly as the full form does: each
// script runs on a context that compacts and on one that keeps every record full, and the two
// transcripts (results, lookups, error lines, histories) must be equal.
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "history/AtomicContext.h"
#include "plugin/history/HistoryWalker.h"

namespace varnox {
using cardamor::AtomicContext;
namespace {

using test::historyOf;
using test::leftovers;

std::string describe(const AtomicContext::ExpectedBlock& e) {
  std::ostringstream out;
  out << std::dec << e.status << '/' << e.blockType << '/' << e.blockNum << '/' << e.hashValue << '/'
      << e.embedded << '/' << e.embeddedCmdId << '/' << e.embeddedLba << '/' << e.invalidated;
  return out.str();
}

std::string describe(const AtomicContext& context, uint64_t lba) {
  std::ostringstream out;
  for (const AtomicContext::Event& e : historyOf(context, lba)) {
    out << std::dec << int{e.eventType} << ':' << e.cmdId << ':' << e.blockType << ':' << e.blockNum << ':'
        << e.hashValue << ':' << e.embedded << ':' << e.embeddedCmdId << ':' << e.embeddedLba << ':'
        << e.atomicIndex << ':' << e.atomicLength << ':' << e.atomicUnit << ':' << int{e.lostAtPower} << ' ';
  }
  return out.str();
}

// Runs one operation ("w cmd lba bucket", see the switch) and returns what it answered, followed
// by what a read issued now would see at the LBAs of `watch` and whether atomic writes over them
// could skip their pre-read.
std::string apply(AtomicContext& c, const std::string& op, const std::vector<uint64_t>& watch) {
  std::istringstream in(op);
  char kind = 0;
  uint64_t a = 0, b = 0, x = 0, y = 0, z = 0;
  in >> kind >> a >> b >> x >> y >> z;
  std::ostringstream out;
  switch (kind) {
    case 'w':
      out << c.writeIssued(a, b, static_cast<uint32_t>(x), true, a, b);
      break;  // write
    case 'n':
      out << c.writeIssued(a, b, static_cast<uint32_t>(x), false, a, b);
      break;  // not embedded
    case 's':
      out << c.writeIssued(a, b, static_cast<uint32_t>(x), true, a, y);
      break;  // WriteSame from y
    case 'o':
      out << c.writeIssued(a, b, static_cast<uint32_t>(x), true, y, b);
      break;  // other embedded id
    case 't':
      out << c.writeIssued(a, b, AtomicContext::TRIM_BUCKET, false, a, b);
      break;  // trim
    case 'a':
      out << c.atomicWriteIssued(a, b, static_cast<uint32_t>(x), true, a, b, static_cast<uint32_t>(y),
                                 static_cast<uint32_t>(z), 0);
      break;
    case 'f':
      c.writeFinished(a, b);
      break;
    case 'x':
      c.writeAborted(a, b);
      break;
    case 'h':
      out << c.addHash(a, b, x, y != 0);
      break;
    case 'd':
      out << c.dropHash(a, b);
      break;
    case 'r':
      out << c.readIssued(a, b, x != 0);
      break;
    case 'F':
      out << describe(c.readFinished(a, b, x != 0));
      break;
    case 'k':
      out << c.readSkip(a);
      break;
    case 'z':
      c.invalidateRange(a, b, true);
      break;
    case 'e':
      c.invalidateRange(a, b, false);
      break;
    case 'p':
      c.mayBeLost(a, {b}, {x}, static_cast<uint32_t>(y));
      break;  // from, one outstanding, one unsynced
    case 'K': {  // a read after a power-on saw event type x of command a, blockType z, mark y
      AtomicContext::Event seen;
      seen.cmdId = a;
      seen.eventType = static_cast<uint8_t>(x);
      seen.blockType = static_cast<uint8_t>(z);
      seen.lostAtPower = static_cast<uint8_t>(y);
      c.keepSeen(b, seen);
      break;
    }
    case 'X':
      c.externalWriteIssued(a, b);
      break;
    case 'S':
      out << c.externalWriteSettled(a, b, x != 0);
      break;
    default:
      ADD_FAILURE() << "unknown operation " << op;
  }
  for (uint64_t lba : watch) out << " | " << describe(c.lookup(lba)) << ' ' << c.rangeKnown(lba, lba + 1);
  out << " | records " << c.recordCount();
  return out.str();
}

struct Transcript {
  std::vector<std::string> transcript;
  std::string errors;
};

Transcript run(AtomicContext& c, const std::vector<std::string>& ops, const std::vector<uint64_t>& watch) {
  Transcript result;
  testing::internal::CaptureStderr();
  for (const std::string& op : ops) result.transcript.push_back(op + " -> " + apply(c, op, watch));
  result.errors = testing::internal::GetCapturedStderr();
  std::cerr << std::dec;
  return result;
}

std::vector<std::string> split(const std::string& script) {
  std::vector<std::string> ops;
  std::istringstream in(script);
  for (std::string op; std::getline(in, op, ';');) {
    if (op.find_first_not_of(' ') != std::string::npos) ops.push_back(op);
  }
  return ops;
}

TEST(CompactFormTest, SettledHistoriesTakeTheCompactFormAndAnswerAsTheFullFormDoes) {
  struct Case {
    const char* name;
    const char* script;  // operations on lba (and its neighbours)
    bool compactAtEnd;   // whether lba ends in the compact form
    uint64_t lba = 100;
  };
  const Case cases[] = {
      {"write in flight stays full", "w 5 100 7", false},
      {"completed write settles", "w 5 100 7; f 5 100", true},
      {"completed then read back is gone", "w 5 100 7; f 5 100; r 6 100 1; F 6 100 0", false},
      {"read issued brings it back", "w 5 100 7; f 5 100; r 6 100 1", false},
      {"read with keep settles again", "w 5 100 7; f 5 100; r 6 100 1; F 6 100 1", true},
      {"skip meets the obligation", "w 5 100 7; f 5 100; k 100", false},
      {"two obligations, one skipped", "w 5 100 7; f 5 100; r 6 100 0; F 6 100 1; k 100", true},
      {"re-write brings it back", "w 5 100 7; f 5 100; w 9 100 8", false},
      {"re-write completed keeps two events", "w 5 100 7; f 5 100; w 9 100 8; f 9 100", false},
      {"re-write after read-back settles", "w 5 100 7; f 5 100; r 6 100 1; F 6 100 0; w 9 100 8; f 9 100",
       true},
      {"aborted write settles unknown", "w 5 100 7; x 5 100", true},
      {"abort after settling", "w 5 100 7; f 5 100; x 5 100", true},
      {"not embedded", "n 5 100 7; f 5 100", true},
      {"trim", "t 5 100; f 5 100", true},
      {"WriteSame from an earlier LBA", "s 5 100 7 90; f 5 100", true},
      {"WriteSame from LBA 0", "s 5 100 7 0; f 5 100", true},
      {"WriteSame from too far", "s 5 2200000 7 1; f 5 2200000", false, 2200000},
      {"embedded id of another command", "o 5 100 7 4; f 5 100", false},
      {"bucket beyond the code", "w 5 100 1048575; f 5 100", false},
      {"power mark after settling", "w 5 100 7; f 5 100; p 5 0 0 3", true},
      {"power mark spares covered and outstanding writes",
       "w 5 100 7; f 5 100; w 8 101 7; f 8 101; p 6 8 0 4; p 9 0 5 4", true},
      {"a write lost in flight takes no power mark", "w 5 100 7; x 5 100; f 5 100; p 1 0 0 3", true},
      {"power mark then completion", "w 5 100 7; p 5 0 0 3; f 5 100", true},
      {"power mark reaches the full form the same", "w 5 100 7; f 5 100; w 9 100 3; p 1 0 0 2", false},
      {"content seen after the power-on loses its mark", "w 5 100 7; f 5 100; p 5 0 0 3; K 5 100 1 4 2", true},
      {"a mark of another power-on stays", "w 5 100 7; f 5 100; p 5 0 0 3; K 5 100 1 5 2", true},
      {"another command's content seen", "w 5 100 7; f 5 100; p 5 0 0 3; K 4 100 1 4 2", true},
      {"a hash seen is not the write", "w 5 100 7; f 5 100; p 5 0 0 3; K 5 100 3 4 2", true},
      {"an invalidation in front keeps the mark", "w 5 100 7; f 5 100; p 5 0 0 3; e 100 100; K 5 100 1 4 2", true},
      {"seen behind a newer write", "w 5 100 7; f 5 100; p 5 0 0 3; w 9 100 1; K 5 100 1 4 2", false},
      {"zone reset in place", "w 5 100 7; f 5 100; z 90 110", true},
      {"external invalidation in place", "w 5 100 7; f 5 100; e 100 100", true},
      {"two marks in place", "w 5 100 7; f 5 100; e 100 100; z 100 100", true},
      {"a third mark brings it back", "w 5 100 7; f 5 100; e 100 100; z 100 100; e 100 100", false},
      {"write over a mark", "w 5 100 7; f 5 100; z 100 100; w 9 100 1; f 9 100", false},
      {"marks before settling", "w 5 100 7; e 100 100; f 5 100", true},
      {"abort and finish of command 0 meet the mark", "w 5 100 7; f 5 100; e 100 100; x 0 100; f 0 100",
       true},
      {"pending foreign write brings it back", "w 5 100 7; f 5 100; X 99 101", false},
      {"foreign write landed settles again", "w 5 100 7; f 5 100; X 99 101; S 99 101 1", true},
      {"foreign write failed settles again", "w 5 100 7; f 5 100; X 100 100; S 100 100 0", true},
      {"atomic write stays full", "a 5 100 7 0 2; a 5 101 8 1 2; f 5 100; f 5 101", false},
      {"pre-read hash stays full", "r 4 100 0; h 4 100 77 1; F 4 100 0", false},
      {"hash dropped after a write", "h 4 100 77 1; w 5 100 7; f 5 100; d 4 100", false},
      {"read on unknown LBA leaves nothing", "r 6 100 0; F 6 100 0", false},
      {"read on unknown LBA kept", "r 6 100 0; F 6 100 1", false},
      {"expect on unknown LBA is refused", "r 6 100 1; k 100; F 6 100 0", false},
      {"read without expect on a compact LBA", "w 5 100 7; f 5 100; r 6 100 0; F 6 100 0", true},
      {"errors on a compact LBA", "w 5 100 7; f 5 100; F 6 100 0; d 6 100; d 5 100", false},
      {"several obligations",
       "w 5 100 7; f 5 100; r 6 100 0; F 6 100 1; r 7 100 0; F 7 100 1; r 8 100 0; F 8 100 1", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint64_t> watch = {c.lba - 1, c.lba, c.lba + 1};
    AtomicContext compact(0);
    AtomicContext full(SIZE_MAX);
    const std::vector<std::string> ops = split(c.script);
    const Transcript a = run(compact, ops, watch);
    const Transcript b = run(full, ops, watch);
    EXPECT_EQ(a.transcript, b.transcript);
    EXPECT_EQ(a.errors, b.errors);
    EXPECT_EQ(compact.isCompact(c.lba), c.compactAtEnd);
    EXPECT_EQ(full.compactCount(), 0u);
    // Looking at the histories brings every compact record back; they must be the same events.
    for (uint64_t lba : watch) EXPECT_EQ(describe(compact, lba), describe(full, lba)) << "lba " << lba;
    EXPECT_EQ(leftovers(compact), leftovers(full));
    EXPECT_EQ(compact.compactCount(), 0u);
  }
}

// What a read after a power-on saw loses its "may be lost" mark only where it is the marked data
// itself and nothing of ours issued since stands in front: the blockType of that command's event
// at LBA 100 afterwards, in both forms.
TEST(CompactFormTest, ContentSeenAfterAPowerOnLosesItsMarkOnlyWhereNothingNewerStands) {
  const struct {
    const char* name;
    const char* script;
    uint64_t cmdId;
    uint32_t blockType;
  } cases[] = {
      {"marked write seen", "w 5 100 7; f 5 100; p 5 0 0 3; K 5 100 1 4 2", 5, AtomicContext::kBlockNormal},
      {"unmarked event passed in", "w 5 100 7; f 5 100; p 5 0 0 3; K 5 100 1 0 2", 5, AtomicContext::kBlockAtomic},
      {"seen as normal", "w 5 100 7; f 5 100; p 5 0 0 3; K 5 100 1 4 1", 5, AtomicContext::kBlockAtomic},
      {"older marked write behind a newer marked one",
       "w 5 100 7; f 5 100; w 6 100 8; f 6 100; p 5 0 0 3; K 5 100 1 4 2", 5, AtomicContext::kBlockNormal},
      {"atomic write in flight in front", "w 5 100 7; f 5 100; p 5 0 0 3; a 9 100 1 0 1; K 5 100 1 4 2", 5,
       AtomicContext::kBlockAtomic},
      {"atomic write in flight seen", "w 5 100 7; f 5 100; a 9 100 1 0 1; K 9 100 2 0 2", 9,
       AtomicContext::kBlockAtomic},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (size_t compactAbove : {size_t{0}, SIZE_MAX}) {
      AtomicContext context(compactAbove);
      run(context, split(c.script), {});
      uint32_t blockType = UINT32_MAX;
      for (const AtomicContext::Event& e : historyOf(context, 100))
        if (e.cmdId == c.cmdId) blockType = e.blockType;
      EXPECT_EQ(blockType, c.blockType) << "compact above " << compactAbove;
    }
  }
}

// Random operations on a few LBAs, with both forms side by side: every answer must agree, and
// the compact form must actually be used.
TEST(CompactFormTest, RandomOperationSequencesAnswerAlikeInBothForms) {
  size_t compactSeen = 0;
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    auto pick = [&](uint64_t n) { return random() % n; };
    AtomicContext compact(0);
    AtomicContext full(SIZE_MAX);
    const std::vector<uint64_t> watch = {0, 1, 2, 3, 4, 5};
    uint64_t cmdId = 1;
    uint64_t lastEpoch = 0;
    std::vector<std::string> ops;
    for (int i = 0; i < 300; ++i) {
      const uint64_t lba = pick(6);
      const uint64_t recent = cmdId - std::min<uint64_t>(cmdId - 1, pick(4));  // an id issued lately
      std::ostringstream op;
      switch (pick(17)) {
        case 0:
        case 1:
        case 2:
          op << "w " << cmdId++ << ' ' << lba << ' ' << pick(5);
          break;
        case 3:
          op << "t " << cmdId++ << ' ' << lba;
          break;
        case 4:
          op << "a " << cmdId++ << ' ' << lba << ' ' << pick(5) << ' ' << pick(2) << " 2";
          break;
        case 5:
        case 6:
          op << "f " << recent << ' ' << lba;
          break;
        case 7:
          op << "x " << recent << ' ' << lba;
          break;
        case 8:
          op << "r " << cmdId++ << ' ' << lba << ' ' << pick(2);
          break;
        case 9:
        case 10:
          op << "F " << recent << ' ' << lba << ' ' << pick(2);
          break;
        case 11:
          op << "k " << lba;
          break;
        case 12:
          op << (pick(2) ? "z " : "e ") << lba << ' ' << lba + pick(3);
          break;
        case 13:
          lastEpoch = pick(300);
          op << "p " << recent << ' ' << cmdId - 1 << ' ' << recent - 1 << ' ' << lastEpoch;
          break;
        case 15:  // mostly what the last power-on marked
          op << "K " << recent << ' ' << lba << ' ' << int{pick(4) ? AtomicContext::kEventWrite : AtomicContext::kEventHash}
             << ' ' << int{AtomicContext::powerMark(static_cast<uint32_t>(pick(4) ? lastEpoch : pick(300)))} << " 2";
          break;
        case 14:
          op << (pick(2) ? "X " : "S ") << lba << ' ' << lba + pick(2) << ' ' << pick(2);
          break;
        default:
          op << (pick(2) ? "h " : "d ") << recent << ' ' << lba << ' ' << pick(3) << ' ' << pick(2);
          break;
      }
      ops.push_back(op.str());
    }
    std::vector<std::string> a;
    std::vector<std::string> b;
    testing::internal::CaptureStderr();
    for (const std::string& op : ops) {
      a.push_back(op + " -> " + apply(compact, op, watch));
      compactSeen += compact.compactCount();
    }
    const std::string errorsA = testing::internal::GetCapturedStderr();
    std::cerr << std::dec;
    testing::internal::CaptureStderr();
    for (const std::string& op : ops) b.push_back(op + " -> " + apply(full, op, watch));
    const std::string errorsB = testing::internal::GetCapturedStderr();
    std::cerr << std::dec;
    for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i], b[i]) << "operation " << i;
    ASSERT_EQ(errorsA, errorsB);
    for (uint64_t lba : watch) ASSERT_EQ(describe(compact, lba), describe(full, lba)) << "lba " << lba;
  }
  EXPECT_GT(compactSeen, 1000u) << "the sequences hardly ever settled an LBA";
}

TEST(CompactFormTest, SettledLbasCostSixteenBytesAndUntouchedRangesNothing) {
  AtomicContext context(0);
  const uint64_t lbas = 200'000;
  const uint64_t far = uint64_t{1} << 33;  // an 8 TB drive of 4 KiB blocks further on
  for (uint64_t lba = 0; lba < lbas; ++lba) {
    ASSERT_EQ(context.writeIssued(lba + 1, far + lba, 3, true, lba + 1, far + lba), 0);
    context.writeFinished(lba + 1, far + lba);
  }
  EXPECT_EQ(context.compactCount(), lbas);
  EXPECT_EQ(context.eventsInUse(), 0u);
  EXPECT_LE(context.bytesInUse(), lbas * 16 + 64 * 1024);
  // Range walks reach every compact record, the last of each chunk too.
  context.invalidateRange(far, far + lbas - 1, false);
  uint64_t invalidated = 0;
  for (uint64_t lba = far; lba < far + lbas; ++lba) invalidated += context.lookup(lba).invalidated ? 1 : 0;
  EXPECT_EQ(invalidated, lbas);
  // Two chunks of 131072 entries hold them, beside the pools' first chunks; a table dense from
  // LBA 0 would take 128 GiB.
  const size_t reserved = context.bytesReserved();
  EXPECT_LE(reserved, size_t{16} << 20);
  // An LBA far below the first one touched takes one more chunk and widens the window by one
  // pointer per chunk between.
  ASSERT_EQ(
      context.writeIssued(lbas + 1, far - (uint64_t{1} << 24), 3, true, lbas + 1, far - (uint64_t{1} << 24)),
      0);
  context.writeFinished(lbas + 1, far - (uint64_t{1} << 24));
  EXPECT_EQ(context.compactCount(), lbas + 1);
  EXPECT_LE(context.bytesReserved() - reserved, (size_t{2} << 20) + 4096);
  EXPECT_EQ(context.lookup(far - (uint64_t{1} << 24)).blockNum, 3u);
  EXPECT_EQ(context.lookup(far + 5).embeddedLba, far + 5);
}

TEST(CompactFormTest, SmallHistoriesStayInTheFullForm) {
  AtomicContext context(1000);
  for (uint64_t lba = 0; lba < 5000; ++lba) {
    ASSERT_EQ(context.writeIssued(lba + 1, lba, 3, true, lba + 1, lba), 0);
    context.writeFinished(lba + 1, lba);
  }
  EXPECT_EQ(context.recordCount(), 5000u);
  EXPECT_EQ(context.compactCount(), 4000u);
  EXPECT_EQ(context.eventsInUse(), 1000u);
  EXPECT_FALSE(context.isCompact(999));
  EXPECT_TRUE(context.isCompact(1000));
}

}  // namespace
}  // namespace varnox
