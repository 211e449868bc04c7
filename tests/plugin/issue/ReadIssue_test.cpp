// Read and verify issue through execute passes: the range chosen, slid reads, the read/verify
// choice and the verify's expected data over partly unknown blocks.
#include "issue/ReadIssue.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "patterns/BlockLayout.h"
#include "plugin/TestData.h"
#include "support/AgentFixture.h"

namespace varnox::testing {
using cardamor::AtomicContext;
namespace {

using cardamor::INVALID_BUCKET;
using cardamor::ReadBackRequest;

// Write and Verify conditions (no Read), every write read back in the next pass.
int setupWriteThenVerify(AgentFixture& h) {
  h.set({{"Write Condition", "write"}, {"Verify Condition", "verify"}, {"Random Seed", "7"}});
  h.set({{"Min Queue Size", "1"}, {"Max Queue Size", "1"}});
  h.setTestMaxXferLength(64);
  return h.setup();
}

TEST(ReadIssue, SlidReadsStayOnTheSourceSpanAndWithinMinAndMaxLba) {
  for (const auto& row : caseRows("issue/cases/slid_reads.txt")) {
    SCOPED_TRACE(row[0]);
    AgentFixture f;
    ASSERT_EQ(f.setupWith({{"Min Queue Size", "1"}, {"Max Queue Size", "1"}, {"Slide Reads", "true"},
                           {"Use Skip Commands", row[1]}}),
              0);
    const uint32_t writeLen = std::stoul(row[2]), readLen = std::stoul(row[3]);
    const uint64_t step = row[1] == "true" ? 2 : 1;
    std::set<uint64_t> slidStarts;
    int unslid = 0;
    for (uint64_t i = 0; i < 60; ++i) {
      const uint64_t src = 1000 + 64 * i;
      const uint64_t minLba = row[4] == "-" ? 0 : src - std::stoul(row[4]);
      const uint64_t maxLba = row[5] == "-" ? 1u << 20 : src + step * (writeLen - 1) + std::stoul(row[5]);
      *f.drive().minLba = minLba;
      *f.drive().maxLba = maxLba;
      ASSERT_EQ(f.pass(src, writeLen), 0);
      ASSERT_TRUE(f.selected("write"));
      ASSERT_EQ(f.pass(0, readLen), 0);
      ASSERT_TRUE(f.selected("read"));
      const uint64_t start = *f.drive().lba;
      const uint32_t len = *f.drive().xferLength;
      EXPECT_EQ(f.drive().outstandingReads.back().lba, start);
      EXPECT_EQ(f.drive().outstandingReads.back().xferLength, len);
      EXPECT_GE(start, minLba);
      EXPECT_LE(start + step * (len - 1), maxLba);
      if (len == writeLen && start == src) {
        ++unslid;
        continue;
      }
      ASSERT_EQ(len, readLen);
      // A shorter read starts inside the source; a longer one still covers its first block.
      EXPECT_TRUE(readLen < writeLen ? start >= src && start <= src + step * (writeLen - 1)
                                         : start <= src && start + step * (readLen - 1) >= src)
          << start << " for " << src;
      EXPECT_EQ((start - src) % step, 0u) << "stays on the source's LBA parity";
      slidStarts.insert(start - src + 100);

      // Source blocks the read leaves out are released, blocks it adds are registered.
      const uint64_t end = start + step * len;
      for (uint64_t b = std::min(start, src); b < std::max(end, src + step * writeLen); b += step) {
        const AtomicContext::Record* record = f.drive().atomicContext.findRecord(b);
        if (b >= start && b < end) {
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
  AgentFixture h;
  h.set("Slide Reads", "true");
  ASSERT_EQ(setupWriteThenVerify(h), 0);
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
  for (const auto& row : caseRows("issue/cases/read_or_verify.txt")) {
    SCOPED_TRACE(row[0]);
    AgentFixture h;
    ASSERT_EQ(h.setupWith({{"Verify Condition", "verify"}, {"Min Queue Size", "1"}, {"Max Queue Size", "1"}}), 0);
    ASSERT_EQ(h.pass(80, 2), 0);
    uint64_t mask = 0, after = 0;
    for (const std::string& name : split(row[0], ", ")) mask |= h.bit(name);
    for (const std::string& name : split(row[3], ", ")) after |= h.bit(name);
    EXPECT_EQ(std::to_string(h.pass(0, 1, mask)), row[1]);
    EXPECT_TRUE(row[2] == "-" || h.logged(row[2])) << h.log();
    EXPECT_EQ(h.thread().conditionMask(), after);
    // The write was claimed for this read whatever followed.
    EXPECT_EQ(h.drive().outstandingWrites.front().readCmdId, 2u);
  }
}

TEST(ReadIssue, ReadWithoutSourceFails) {
  AgentFixture h;
  ASSERT_EQ(h.setupWith(), 0);
  EXPECT_EQ(cardamor::doARead(h.thread(), h.drive(), h.config(), 0, 9, nullptr, nullptr), -1200);
  EXPECT_EQ(cardamor::doAVerify(h.thread(), h.drive(), h.config(), 0, 9, nullptr, nullptr), -1200);
  EXPECT_TRUE(h.logged("doARead(): Invalid WriteSent and WriteFinished"));
  EXPECT_TRUE(h.logged("doAVerify(): Invalid WriteSent and WriteFinished"));
  EXPECT_TRUE(h.drive().outstandingReads.empty());
}

TEST(VerifyIssue, RangeAndExpectedDataFollowWhatIsKnown) {
  for (const auto& row : caseRows("issue/cases/verify_ranges.txt")) {
    SCOPED_TRACE(row[0]);
    const auto resets = split(row[1], ", ");
    AgentFixture h;
    ASSERT_EQ(setupWriteThenVerify(h), 0);
    ASSERT_EQ(h.pass(500, 8), 0);
    for (const std::string& r : resets)
      h.drive().atomicContext.invalidateRange(std::stoul(r), std::stoul(r.substr(r.find('-') + 1)), true);
    if (row[2] != "-") h.drive().atomicContext.invalidateRange(std::stoul(row[2]), std::stoul(row[2]), false);
    const uint64_t lba = std::stoul(row[3]);
    const uint32_t length = std::stoul(row[4]);
    const uint64_t verifyId = h.drive().nextCmdId;
    ASSERT_EQ(h.pass(0, 1), 0);

    EXPECT_EQ(h.thread().conditionMask(), h.bit("verify"));
    EXPECT_EQ(*h.drive().lba, lba);
    EXPECT_EQ(*h.drive().xferLength, length);
    ASSERT_EQ(h.drive().outstandingVerifies.size(), 1u);
    const cardamor::VerifyRecord& verify = h.drive().outstandingVerifies.front();
    EXPECT_EQ(verify.cmdId, verifyId);
    EXPECT_EQ(verify.lba, lba);
    EXPECT_EQ(verify.xferLength, length);
    EXPECT_EQ(verify.expectMiscompare, std::stoul(row[5]));
    ASSERT_EQ(h.drive().writeData->size, length * 512u);
    if (resets.size() == 2) {
      // Verified blocks wait for the verify; the other six gave up their obligation and are gone.
      for (uint64_t b = 500; b < 508; ++b) {
        const AtomicContext::Record* record = h.drive().atomicContext.findRecord(b);
        EXPECT_EQ(record != nullptr, b == 502 || b == 503) << b;
        EXPECT_TRUE(record == nullptr || record->wait_read != AtomicContext::kNoSlot) << b;
      }
    }
    if (resets.size() == 1) {
      for (uint32_t k = 0; k < 8; ++k) {
        // Stamped as no bucket, so that it matches no block ever written.
        const uint8_t* block = h.writeBlock(k, 512);
        EXPECT_EQ(std::vector<uint8_t>(block, block + 4), (std::vector<uint8_t>{0x08, 0x00, 0x01, 0x00})) << k;
        EXPECT_EQ(cardamor::parseBlockHeader(block).bucket, INVALID_BUCKET);
        EXPECT_EQ(std::tuple(block[16], block[17]), std::tuple(1, static_cast<uint8_t>(verifyId)));
      }
    }
  }
}

}  // namespace
}  // namespace varnox::testing
