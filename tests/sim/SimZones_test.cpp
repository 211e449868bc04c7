#include <gtest/gtest.h>

#include "SimDriveHarness.h"
#include "tavik/SenseBuilder.h"

namespace varnox::sim {
namespace {

using namespace testing;  // the harness, patterns and configurations

SimConfig zoned(ZoneKind kind) {
  SimConfig c = smallConfig();
  c.zones = kind;
  c.zoneBlocks = 64;
  return c;
}

DeviceCompletion resetZone(Harness& h, uint64_t lba) {
  uint8_t cdb[kCdbMaxBytes];
  return h.runCdb(cdb, buildResetWritePointer(cdb, lba));
}

TEST(SimZones, HostManagedZonesTakeWritesOnlyAtTheirWritePointer) {
  Harness h(zoned(ZoneKind::HostManaged));
  EXPECT_EQ(h.write(64, pattern(64, 8, 512, 1)).status, kStatusGood);
  EXPECT_EQ(h.write(72, pattern(72, 8, 512, 2)).status, kStatusGood);
  const struct {
    uint64_t lba;
    uint32_t blocks;
    uint8_t ascq;
  } refused[] = {{64, 8, 0x04}, {90, 1, 0x04}, {0, 65, 0x05}, {120, 8, 0x04}};
  for (const auto& r : refused) {
    SCOPED_TRACE(r.lba);
    EXPECT_SENSE(h.write(r.lba, pattern(r.lba, r.blocks, 512, 3)), kSenseIllegalRequest, 0x21, r.ascq);
  }
  EXPECT_EQ(h.read(64, 16), [] {
    auto both = pattern(64, 8, 512, 1);
    auto second = pattern(72, 8, 512, 2);
    both.insert(both.end(), second.begin(), second.end());
    return both;
  }());
  // A reset zeroes the zone and rewinds its pointer to the zone's start.
  EXPECT_EQ(resetZone(h, 64).status, kStatusGood);
  EXPECT_EQ(h.read(64, 16), std::vector<uint8_t>(16 * 512, 0));
  EXPECT_SENSE(h.write(80, pattern(80, 1, 512, 4)), kSenseIllegalRequest, 0x21, 0x04);
  EXPECT_EQ(h.write(64, pattern(64, 1, 512, 4)).status, kStatusGood);
  EXPECT_SENSE(resetZone(h, 65), kSenseIllegalRequest, 0x24, 0);
}

TEST(SimZones, HostAwareZonesTakeWritesAnywhereAndUnzonedDrivesKnowNoReset) {
  Harness aware(zoned(ZoneKind::HostAware));
  EXPECT_EQ(aware.write(100, pattern(100, 4, 512, 1)).status, kStatusGood);
  EXPECT_EQ(aware.read(100, 4), pattern(100, 4, 512, 1));
  EXPECT_EQ(resetZone(aware, 64).status, kStatusGood);
  EXPECT_EQ(aware.read(100, 4), std::vector<uint8_t>(4 * 512, 0));
  Harness plain(smallConfig());
  EXPECT_SENSE(resetZone(plain, 0), kSenseIllegalRequest, 0x20, 0);
}

}  // namespace
}  // namespace varnox::sim
