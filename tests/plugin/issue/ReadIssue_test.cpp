// Read and verify issue through execute passes: the range chosen, slid reads, the read/verify
// choice and the verify's expected data over partly unknown blocks.
#include "issue/ReadIssue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "completion/ReferenceBlock.h"
#include "patterns/BlockLayout.h"
#include "plugin/issue/IssueHarness.h"
#include "trace/CommandTrace.h"

namespace varnox::testing {
using cardamor::AtomicContext;
namespace {

using cardamor::INVALID_BUCKET;
using cardamor::ReadBackRequest;

// Every write is read back in the next pass.
void writeThenRead(IssueHarness& h) {
  h.set({{"Min Queue Size", "1"}, {"Max Queue Size", "1"}});
}

struct SlideCase {
  const char* name;
  bool skip;
  uint32_t writeLen;
  uint32_t readLen;
};

TEST(ReadIssue, SlidReadsStayOnTheSourceSpan) {
  const SlideCase cases[] = {
      {"shorter read", false, 8, 4},
      {"longer read", false, 4, 8},
      {"shorter read with skip commands", true, 4, 2},
  };
  for (const SlideCase& c : cases) {
    SCOPED_TRACE(c.name);
    IssueHarness h;
    h.basic();
    writeThenRead(h);
    h.set({{"Slide Reads", "true"}, {"Use Skip Commands", c.skip ? "true" : "false"}});
    ASSERT_EQ(h.setup(), 0);
    *h.drive().maxLba = 1u << 20;
    const uint64_t step = c.skip ? 2 : 1;

    std::set<uint64_t> slidStarts;
    int unslid = 0;
    for (uint64_t i = 0; i < 60; ++i) {
      const uint64_t src = 1000 + 64 * i;
      ASSERT_EQ(h.pass(src, c.writeLen), 0);
      ASSERT_TRUE(h.selected("write"));
      ASSERT_EQ(h.pass(0, c.readLen), 0);
      ASSERT_TRUE(h.selected("read"));
      const uint64_t start = *h.drive().lba;
      const uint32_t len = *h.drive().xferLength;
      const cardamor::ReadRecord& read = h.drive().outstandingReads.back();
      EXPECT_EQ(read.lba, start);
      EXPECT_EQ(read.xferLength, len);
      if (len == c.writeLen && start == src) {
        ++unslid;
        continue;
      }
      ASSERT_EQ(len, c.readLen);
      if (c.readLen < c.writeLen) {
        // Starts inside the source, on its LBAs.
        EXPECT_GE(start, src);
        EXPECT_LE(start, src + step * (c.writeLen - 1));
      } else {
        // Still covers the source's first block.
        EXPECT_LE(start, src);
        EXPECT_GE(start + step * (c.readLen - 1), src);
      }
      EXPECT_EQ((start - src) % step, 0u) << "stays on the source's LBA parity";
      slidStarts.insert(start - src + 100);

      // Source blocks the read leaves out are released, blocks it adds are registered.
      const AtomicContext& history = h.drive().atomicContext;
      const uint64_t end = start + step * len;
      for (uint64_t b = std::min(start, src); b < std::max(end, src + step * c.writeLen); b += step) {
        const AtomicContext::Record* record = history.findRecord(b);
        const bool inRead = b >= start && b < end;
        if (inRead) {
          ASSERT_NE(record, nullptr) << b;
          EXPECT_NE(record->wait_read, AtomicContext::kNoSlot) << "read registered at " << b;
        } else if (record != nullptr) {
          EXPECT_EQ(record->ref_count, 0u) << "released " << b;
        }
      }
    }
    EXPECT_GT(unslid, 5);
    EXPECT_GT(slidStarts.size(), 2u) << "the start is drawn, not fixed";
  }
}

TEST(ReadIssue, SpliceSuspectIsAlwaysReadAndNeverSlid) {
  IssueHarness h;
  h.set({{"Write Condition", "write"},
         {"Verify Condition", "verify"},
         {"Random Seed", "7"},
         {"Slide Reads", "true"}});
  h.setTestMaxXferLength(64);
  writeThenRead(h);
  ASSERT_EQ(h.setup(), 0);
  for (uint64_t i = 0; i < 8; ++i) {
    // A write whose range is suspect, queued for its splice check instead of a plain read-back.
    const uint64_t lba = 300 + 16 * i;
    ASSERT_EQ(h.pass(lba, 4), 0);
    ASSERT_TRUE(h.selected("write"));
    cardamor::WriteRecord& write = h.drive().outstandingWrites.back();
    write.readBack = 0;
    h.drive().pendingReadBacks.push_back(ReadBackRequest{write.cmdId, lba, 4, 1, 0});
    ASSERT_EQ(h.pass(0, 1), 0);
    EXPECT_EQ(h.thread().conditionMask(), 0u) << "no Read Condition is configured";
    EXPECT_EQ(*h.drive().lba, lba);
    EXPECT_EQ(*h.drive().xferLength, 4u);
    ASSERT_FALSE(h.drive().outstandingReads.empty());
    EXPECT_EQ(h.drive().outstandingReads.back().spliceSuspect, 1u);
  }
  EXPECT_TRUE(h.drive().outstandingVerifies.empty());
}

TEST(ReadIssue, ReadOrVerifyChoice) {
  const struct {
    std::vector<std::string> inMask;  // conditions an earlier agent left in the mask
    int status;
    const char* message;
    std::vector<std::string> after;   // the mask the agent leaves
  } cases[] = {
      {{"read", "verify"}, -1050, "Both Read and Verify condition selected during same execution loop.", {}},
      {{}, -1050, "Niether read nor verify selected during execution loop.", {}},
      {{"read"}, 0, nullptr, {"read"}},
      // The write to read back is still outstanding: a verify would be judged by the drive
      // before the write's outcome is known, so the range is read instead.
      {{"verify"}, 0, nullptr, {"read"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.inMask.size());
    IssueHarness h;
    h.basic();
    h.set("Verify Condition", "verify");
    writeThenRead(h);
    ASSERT_EQ(h.setup(), 0);
    ASSERT_EQ(h.pass(80, 2), 0);
    uint64_t mask = 0;
    for (const std::string& name : c.inMask) mask |= h.bit(name);
    EXPECT_EQ(h.pass(0, 1, mask), c.status);
    EXPECT_TRUE(c.message == nullptr || h.logged(c.message)) << h.log();
    uint64_t after = 0;
    for (const std::string& name : c.after) after |= h.bit(name);
    EXPECT_EQ(h.thread().conditionMask(), after);
    // The write was claimed for this read whatever followed.
    EXPECT_EQ(h.drive().outstandingWrites.front().readCmdId, 2u);
  }
}

TEST(ReadIssue, ReadWithoutSourceFails) {
  IssueHarness h;
  ASSERT_EQ(h.setupWith(), 0);
  EXPECT_EQ(cardamor::doARead(h.thread(), h.drive(), h.config(), 0, 9, nullptr, nullptr), -1200);
  EXPECT_EQ(cardamor::doAVerify(h.thread(), h.drive(), h.config(), 0, 9, nullptr, nullptr), -1200);
  EXPECT_TRUE(h.logged("doARead(): Invalid WriteSent and WriteFinished"));
  EXPECT_TRUE(h.logged("doAVerify(): Invalid WriteSent and WriteFinished"));
  EXPECT_TRUE(h.drive().outstandingReads.empty());
}

// A verify of write 500..507 after parts of it lost their content: zone resets make blocks unknown,
// an external invalidation leaves the old content predictable but no longer expected.
TEST(VerifyIssue, RangeAndExpectedDataFollowWhatIsKnown) {
  const struct {
    const char* what;
    std::vector<std::pair<uint64_t, uint64_t>> resets;
    uint64_t invalidated;  // 0: none
    uint64_t lba;
    uint32_t length;
    uint8_t expectMiscompare;
  } cases[] = {{"the first run of known blocks", {{500, 501}, {504, 504}}, 0, 502, 2, 0},
               {"all unknown, against stamped filler", {{500, 507}}, 0, 500, 8, 1},
               {"externally invalidated", {}, 503, 500, 8, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    IssueHarness h;
    h.set({{"Write Condition", "write"}, {"Verify Condition", "verify"}, {"Random Seed", "7"}});
    h.setTestMaxXferLength(64);
    writeThenRead(h);
    ASSERT_EQ(h.setup(), 0);
    ASSERT_EQ(h.pass(500, 8), 0);
    const uint64_t writeId = h.drive().outstandingWrites.front().cmdId;
    for (const auto& [first, last] : c.resets) h.drive().atomicContext.invalidateRange(first, last, true);
    if (c.invalidated != 0) h.drive().atomicContext.invalidateRange(c.invalidated, c.invalidated, false);
    const uint64_t verifyId = h.drive().nextCmdId;
    ASSERT_EQ(h.pass(0, 1), 0);

    EXPECT_EQ(h.thread().conditionMask(), h.bit("verify"));
    EXPECT_EQ(*h.drive().lba, c.lba);
    EXPECT_EQ(*h.drive().xferLength, c.length);
    ASSERT_EQ(h.drive().outstandingVerifies.size(), 1u);
    const cardamor::VerifyRecord& verify = h.drive().outstandingVerifies.front();
    EXPECT_EQ(verify.cmdId, verifyId);
    EXPECT_EQ(verify.lba, c.lba);
    EXPECT_EQ(verify.xferLength, c.length);
    EXPECT_EQ(verify.expectMiscompare, c.expectMiscompare);
    ASSERT_EQ(h.drive().writeData->size, c.length * 512u);
    if (c.resets.size() == 2) {
      // The expected data is what the write put there.
      for (uint64_t b = 502; b < 504; ++b) {
        const AtomicContext::ExpectedBlock e = h.drive().atomicContext.lookup(b);
        const uint8_t* reference =
            cardamor::referenceBlock(h.drive(), e.blockNum, 512, e.embedded, e.embeddedCmdId, e.embeddedLba);
        ASSERT_NE(reference, nullptr);
        EXPECT_EQ(std::memcmp(h.writeBlock(static_cast<uint32_t>(b - 502), 512), reference, 512), 0) << b;
        EXPECT_EQ(e.embeddedCmdId, writeId);
      }
      // Verified blocks wait for the verify; the other six gave up their obligation and are gone.
      for (uint64_t b = 500; b < 508; ++b) {
        const AtomicContext::Record* record = h.drive().atomicContext.findRecord(b);
        EXPECT_EQ(record != nullptr, b == 502 || b == 503) << b;
        EXPECT_TRUE(record == nullptr || record->wait_read != AtomicContext::kNoSlot) << b;
      }
    }
    if (c.resets.size() == 1) {
      const uint8_t* table = h.drive().sectorBuckets.get();
      const uint64_t tableBytes = uint64_t{h.config().bucketCount} * 512;
      for (uint32_t k = 0; k < 8; ++k) {
        const uint8_t* block = h.writeBlock(k, 512);
        const uint8_t stamp[4] = {0x08, 0x00, 0x01, 0x00};
        EXPECT_EQ(std::memcmp(block, stamp, 4), 0) << k;
        EXPECT_EQ(cardamor::parseBlockHeader(block).bucket, INVALID_BUCKET);
        EXPECT_EQ(block[16], 1);
        EXPECT_EQ(block[17], static_cast<uint8_t>(verifyId));
        // The rest is table bytes from some byte offset below "Bucket Count".
        bool found = false;
        for (uint64_t offset = 0; offset < h.config().bucketCount && !found; ++offset) {
          found = offset + 512 <= tableBytes && std::memcmp(block + 18, table + offset + 18, 512 - 18) == 0 &&
                  std::memcmp(block + 4, table + offset + 4, 12) == 0;
        }
        EXPECT_TRUE(found) << "block " << k << " is filler from the bucket table";
      }
    }
  }
}

}  // namespace
}  // namespace varnox::testing
