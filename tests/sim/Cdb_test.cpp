#include "tavik/Cdb.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>
#include <vector>

#include "tavik/SenseBuilder.h"

namespace varnox {
namespace {

// The fields a parse yields, compared as one value: opcode, LBA, blocks, protect, bytchk, flags,
// atomic boundary.
auto fields(const ParsedCdb& p) {
  return std::make_tuple(p.opcode, p.lba, p.blocks, p.protect, p.bytchk, p.flags, p.atomicBoundary);
}

TEST(Cdb, SixteenByteCommandsRoundTripThroughTheParser) {
  uint8_t cdb[kCdbMaxBytes];
  ParsedCdb p;
  ASSERT_EQ(buildRead16(cdb, 0x0102030405060708ull, 0x11223344, 3, true), 16u);
  // The wire layout real targets expect: opcode, RDPROTECT in the top bits, big-endian fields.
  EXPECT_EQ((std::vector<uint8_t>{cdb[0], cdb[1], cdb[2], cdb[9], cdb[10], cdb[13]}),
            (std::vector<uint8_t>{0x88, 0x68, 0x01, 0x08, 0x11, 0x44}));
  ASSERT_EQ(parseCdb(cdb, 16, p), 0);
  EXPECT_TRUE(p.known);
  EXPECT_EQ(fields(p), std::make_tuple(kOpRead16, 0x0102030405060708ull, 0x11223344u, uint8_t{3}, uint8_t{0},
                                       uint32_t{kCdbFua}, uint16_t{0}));

  // WRITE ATOMIC keeps its boundary and its 16-bit length in bytes 10-13.
  buildWriteAtomic16(cdb, 4096, 0x1234, 4, 0, true);
  EXPECT_EQ((std::vector<uint8_t>{cdb[0], cdb[11], cdb[12]}), (std::vector<uint8_t>{0x9C, 4, 0x12}));

  using Fields = decltype(fields(p));
  const std::pair<std::function<size_t(uint8_t*)>, Fields> cases[] = {
      {[](uint8_t* c) { return buildWrite16(c, 77, 8, 1); }, {kOpWrite16, 77, 8, 1, 0, 0, 0}},
      {[](uint8_t* c) { return buildVerify16(c, 5, 9, kBytchkSame, 2); },
       {kOpVerify16, 5, 9, 2, kBytchkSame, 0, 0}},
      {[](uint8_t* c) { return buildWriteSame16(c, 1000, 64, true); },
       {kOpWriteSame16, 1000, 64, 0, 0, kCdbUnmap, 0}},
      {[](uint8_t* c) { return buildWriteAtomic16(c, 4096, 0x1234, 4, 0, true); },
       {kOpWriteAtomic16, 4096, 0x1234, 0, 0, kCdbFua, 4}},
      {[](uint8_t* c) { return buildSynchronizeCache16(c, 10, 20, true); },
       {kOpSynchronizeCache16, 10, 20, 0, 0, kCdbImmed, 0}},
  };
  for (const auto& [build, want] : cases) {
    ASSERT_EQ(build(cdb), 16u);
    ASSERT_EQ(parseCdb(cdb, 16, p), 0);
    EXPECT_EQ(fields(p), want) << "opcode " << int{std::get<0>(want)};
  }
}

TEST(Cdb, UnmapListRoundTripsAndBadListsAreRefused) {
  const UnmapRange ranges[] = {{100, 8}, {0xFFFFFFFF00ull, 1}};
  std::vector<uint8_t> list(unmapParameterListBytes(2));
  ASSERT_EQ(buildUnmapParameterList(list.data(), list.size(), ranges, 2), 40u);
  EXPECT_EQ(buildUnmapParameterList(list.data(), list.size() - 1, ranges, 2), 0u);
  ASSERT_EQ(unmapDescriptorCount(list.data(), list.size()), 2);
  EXPECT_EQ(unmapDescriptor(list.data(), 1).lba, 0xFFFFFFFF00ull);
  EXPECT_EQ(unmapDescriptor(list.data(), 0).blocks, 8u);
  // A list cut short of what its header announces is unusable.
  EXPECT_EQ(unmapDescriptorCount(list.data(), 39), -1);
  EXPECT_EQ(unmapDescriptorCount(list.data(), 7), -1);

  uint8_t cdb[kCdbMaxBytes];
  ASSERT_EQ(buildUnmap10(cdb, 40), 10u);
  ParsedCdb p;
  ASSERT_EQ(parseCdb(cdb, 10, p), 0);
  EXPECT_EQ(p.opcode, kOpUnmap);
  EXPECT_EQ(p.parameterListBytes, 40);
  EXPECT_EQ(parseCdb(cdb, 9, p), -1);
}

TEST(Cdb, UnknownOpcodesParseAsUnknownAndShortCdbsFail) {
  uint8_t cdb[kCdbMaxBytes] = {0x28};  // READ(10)
  ParsedCdb p;
  ASSERT_EQ(parseCdb(cdb, 10, p), 0);
  EXPECT_FALSE(p.known);
  EXPECT_EQ(p.opcode, 0x28);
  EXPECT_EQ(p.length, 10u);
  buildRead16(cdb, 1, 1);
  EXPECT_EQ(parseCdb(cdb, 15, p), -1);
  EXPECT_EQ(parseCdb(cdb, 0, p), -1);
}

// That the fields decode with the library's parser is pinned by the SenseParser tests; here,
// the layout bytes and the limits of the fixed format.
TEST(SenseBuilder, FixedSenseLayoutAndLimits) {
  SenseFields f;
  f.key = kSenseMediumError;
  f.hasInformation = true;
  f.information = 0x00ABCDEF;
  std::vector<uint8_t> s = fixedSense(f);
  ASSERT_EQ(s.size(), kFixedSenseBytes);
  EXPECT_EQ(s[0], 0xF0);
  EXPECT_EQ(s[7], 12);  // additional length reaches the unit error code
  EXPECT_EQ(s[4], 0xAB);
  EXPECT_EQ(s[6], 0xEF);

  // An LBA beyond four bytes cannot be reported truthfully in fixed format: no valid bit.
  f.information = 0x100000000ull;
  s = fixedSense(f);
  EXPECT_EQ(s[0], 0x70);
  uint8_t small[kFixedSenseBytes - 1];
  EXPECT_EQ(buildFixedSense(small, sizeof(small), f), 0u);
}

}  // namespace
}  // namespace varnox
