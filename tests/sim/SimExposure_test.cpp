#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "SimDriveHarness.h"
#include "sim/SimulatedDrive.h"

namespace varnox::sim {
namespace {

using namespace testing;  // the harness, patterns and configurations

FaultRule rule(const char* kind, std::optional<uint64_t> lba = 20) {
  FaultRule r;
  r.kind = kind;
  r.lba = lba;
  return r;
}

// A READ or WRITE of 4 blocks at `lba` with the skip stride 2.
void skip(Harness& h, uint32_t tag, uint64_t lba, const uint8_t* out, uint64_t outBytes, uint8_t* in, bool write) {
  DeviceCommand c{.tag = tag, .dataOut = out, .dataOutBytes = outBytes, .dataIn = in, .dataInBytes = in ? 4 * 512 : 0,
                  .lbaStride = 2};
  c.cdbLength = static_cast<uint32_t>(write ? buildWrite16(c.cdb, lba, 4, 0) : buildRead16(c.cdb, lba, 4, 0));
  EXPECT_EQ(h.device->submit(c), 0);
}

uint64_t exposed(const Harness& h) {
  uint64_t n = 0;
  for (const FaultTally& t : h.drive->faultTallies()) n += t.exposed;
  return n;
}

// Exposed is what a checker must report: each row drives the drive through one way the faulted
// data reaches the host, or fails to, and says whether the fault counts as exposed.
TEST(SimExposure, AFaultIsExposedExactlyWhenTheHostMustSeeIt) {
  struct Row {
    const char* name;
    FaultRule rule;
    std::function<void(Harness&)> run;
    uint64_t exposed;
  };
  const auto v1 = pattern(16, 8, 512, 1), v2 = pattern(20, 1, 512, 2), unit = pattern(0, 12, 512, 1);
  std::vector<uint8_t> got(8 * 512);
  const std::vector<Row> rows = {
      {"read after the write completed", rule("corrupt"), [&](Harness& h) { h.write(16, v1); h.read(16, 8); }, 1},
      {"read that ends before the block", rule("corrupt"), [&](Harness& h) { h.write(16, v1); h.read(16, 4); }, 0},
      {"a later write accepted first", rule("corrupt"),
       [&](Harness& h) { h.write(16, v1); h.submitWrite(1, 20, v2); h.finish(1); h.read(16, 8); }, 0},
      {"read racing the write, which completes", rule("corrupt"),
       [&](Harness& h) { h.submitWrite(1, 16, v1); h.submitRead(2, 16, got); h.finish(1); h.finish(2); }, 1},
      {"read lost at a reset", rule("corrupt"),
       [&](Harness& h) { h.write(16, v1); h.submitRead(2, 16, got); h.drive->reset(); }, 0},
      {"verify comparing the block", rule("corrupt"),
       [&](Harness& h) { h.write(16, v1); EXPECT_SENSE(h.verify(16, v1), kSenseMiscompare, 0x1D, 0x00); }, 1},
      {"verify stopping at an earlier block", rule("corrupt"),
       [&](Harness& h) {
         h.write(16, v1);
         auto other = v1;
         other[0] ^= 1;
         EXPECT_SENSE(h.verify(16, other), kSenseMiscompare, 0x1D, 0x00);
       },
       0},
      {"lost write read back", rule("lost-write"), [&](Harness& h) { h.write(16, v1); h.read(16, 8); }, 1},
      {"lost block read racing its write, which completes", rule("lost-write"),
       [&](Harness& h) { h.submitWrite(1, 16, v1); h.submitRead(2, 16, got); h.finish(1); h.finish(2); }, 1},
      {"misdirected block read at home", rule("misdirect"), [&](Harness& h) { h.write(16, v1); h.read(20, 1); }, 1},
      {"stale read after completed writes", rule("stale-read"),
       [&](Harness& h) { h.write(16, v1); h.write(20, v2); h.read(20, 1); }, 1},
      // The drive ran the read after the write it raced: the agent waits for that write and
      // then expects its data.
      {"stale read racing the latest write, which completes", rule("stale-read"),
       [&](Harness& h) {
         h.write(16, v1);
         got.resize(512);
         h.submitWrite(1, 20, v2);
         h.submitRead(2, 20, got);
         h.finish(1);
         h.finish(2);
       },
       1},
      {"verify sent while the write is out, which completes first", rule("corrupt"),
       [&](Harness& h) {
         uint8_t cdb[kCdbMaxBytes];
         const size_t n = buildVerify16(cdb, 16, 8, kBytchkCompare, 0);
         h.submitWrite(1, 16, v1);
         h.submitCdb(2, cdb, n, v1.data(), v1.size());
         h.finish(1);
         EXPECT_SENSE(h.finish(2), kSenseMiscompare, 0x1D, 0x00);
       },
       1},
      // Skip commands: the blocks are every other LBA, the fault on one of them.
      {"skip write read at its stride", rule("corrupt"),
       [&](Harness& h) {
         skip(h, 1, 16, v1.data(), 4 * 512, nullptr, true);
         h.finish(1);
         got.resize(4 * 512);
         skip(h, 2, 16, nullptr, 0, got.data(), false);
         h.finish(2);
       },
       1},
      {"skip write read between its blocks", rule("corrupt"),
       [&](Harness& h) {
         skip(h, 1, 16, v1.data(), 4 * 512, nullptr, true);
         h.finish(1);
         h.read(19, 1);
         h.read(21, 1);
       },
       0},
      // A read sent before a write heals the splice still fails, and shows it.
      {"splice read sent before the healing write", rule("splice", std::nullopt),
       [&](Harness& h) {
         h.submitWrite(1, 16, v1);
         h.finish(1);
         got.resize(8 * 512);
         h.submitRead(2, 16, got);
         h.submitWrite(3, 16, v1);
         h.finish(2);
         h.finish(3);
       },
       1},
      {"torn unit read whole", rule("torn-atomic", std::nullopt),
       [&](Harness& h) { h.submitAtomic(1, 0, unit, 4); h.finish(1); h.read(0, 12); }, 1},
      {"torn unit read a block at a time", rule("torn-atomic", std::nullopt),
       [&](Harness& h) {
         h.submitAtomic(1, 0, unit, 4);
         h.finish(1);
         for (uint64_t lba = 0; lba < 12; ++lba) h.read(lba, 1);
       },
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SimConfig c = smallConfig();
    c.atomicUnitBlocks = 16;
    c.faults.push_back(row.rule);
    Harness h(c);
    row.run(h);
    const std::vector<FaultTally> tallies = h.drive->faultTallies();
    ASSERT_EQ(tallies.size(), 1u);
    EXPECT_EQ(tallies[0].kind, row.rule.kind);
    EXPECT_TRUE(tallies[0].corrupting);
    EXPECT_EQ(tallies[0].injected, 1u);
    EXPECT_EQ(exposed(h), row.exposed);
    EXPECT_EQ(h.drive->injectedFaults().at(0).exposed, row.exposed != 0);
  }
}

TEST(SimExposure, AnInjectedRecoveredErrorNeverHidesTheCommandsOwnOutcome) {
  FaultRule recovered = rule("recovered-error", 40);
  recovered.count = 0;
  SimConfig c = smallConfig();
  c.faults.push_back(recovered);
  Harness h(c);
  const auto data = pattern(40, 2, 512, 1);
  DeviceCompletion w = h.write(40, data);
  EXPECT_SENSE(w, kSenseRecoveredError, 0x18, 0x00);
  EXPECT_TRUE(w.injected);
  // A read delivers its data with the recovered error.
  std::vector<uint8_t> got(2 * 512);
  DeviceCompletion r = h.readInto(40, got);
  EXPECT_SENSE(r, kSenseRecoveredError, 0x18, 0x00);
  EXPECT_EQ(r.bytesIn, got.size());
  EXPECT_EQ(got, data);
  // A verify that miscompares stays a miscompare, and it is the drive's own outcome.
  auto other = data;
  other[700] ^= 1;
  DeviceCompletion v = h.verify(40, other);
  EXPECT_SENSE(v, kSenseMiscompare, 0x1D, 0x00);
  EXPECT_FALSE(v.injected);
}

}  // namespace
}  // namespace varnox::sim
