// A drive split into slices: the tested range shared out without a gap, an overlap or a command
// that could reach into the next slice, and one simulated drive that every slice uses as a device
// of its own, with device events reaching each slice once.
#include <gtest/gtest.h>
#include <sched.h>

#include <string>
#include <vector>

#include "sim/SimDriveHarness.h"
#include "varnox/CommandSteps.h"
#include "varnox/DeviceSlices.h"
#include "varnox/DriveSlices.h"
#include "varnox/DriveThread.h"
#include "varnox/Errors.h"
#include "varnox/SliceRanges.h"

namespace varnox {
namespace {

using sim::testing::pattern;

struct SplitCase {
  LbaRange range;
  uint32_t count;
  uint64_t alignment;
  uint64_t minBlocks;
  std::vector<LbaRange> expected;  // empty: refused
};

TEST(SliceRanges, SplitsEvenlyOnAlignedBoundariesOrRefusesNamingSlices) {
  const std::vector<SplitCase> cases = {
      {{0, 65535}, 1, 1, 8, {{0, 65535}}},
      {{0, 65535}, 2, 1, 8, {{0, 32767}, {32768, 65535}}},
      {{0, 99}, 3, 1, 1, {{0, 32}, {33, 65}, {66, 99}}},
      // Boundaries on multiples of 8 (a physical block, an atomic bound), counted from LBA 0.
      {{0, 99}, 3, 8, 1, {{0, 31}, {32, 63}, {64, 99}}},
      {{100, 199}, 2, 16, 8, {{100, 143}, {144, 199}}},
      // Zones of 1000 blocks: whole zones to each slice.
      {{0, 4999}, 2, 1000, 2000, {{0, 2999}, {3000, 4999}}},
      {{0, 15}, 2, 1, 8, {{0, 7}, {8, 15}}},
      {{0, 15}, 3, 1, 8, {}},        // 16 blocks do not hold three transfers of 8
      {{0, 15}, 2, 16, 1, {}},       // the only boundary would be the range's end
      {{0, 65535}, 0, 1, 1, {}},     // no slice at all
      {{10, 9}, 1, 1, 1, {}},        // an empty range
  };
  for (const SplitCase& c : cases) {
    std::string error;
    const std::vector<LbaRange> parts = splitLbaRange(c.range, c.count, c.alignment, c.minBlocks, error);
    const std::string where = std::to_string(c.range.first) + ".." + std::to_string(c.range.last) + " into " +
                              std::to_string(c.count) + " aligned " + std::to_string(c.alignment);
    EXPECT_EQ(parts, c.expected) << where;
    if (c.expected.empty()) {
      EXPECT_NE(error.find("\"slices\" " + std::to_string(c.count)), std::string::npos) << where << ": " << error;
    }
  }
}

TEST(DriveSlices, TheWorstFailureSpeaksForTheDriveTheFirstToEndAmongEquals) {
  struct Case {
    std::vector<SliceEnd> ends;
    size_t speaking;
  };
  const std::vector<Case> cases = {
      {{{VARNOX_OK, 5}, {VARNOX_OK, 4}}, 0},
      {{{VARNOX_OK, 5}, {VARNOX_ERR_MISCOMPARE, 6}}, 1},
      // A showstop stops the drive: the other slice meets a failed device before the miscompare's
      // slice has ended; the wrong block is still the drive's verdict.
      {{{VARNOX_ERR_DEVICE, 1}, {VARNOX_ERR_MISCOMPARE, 2}}, 1},
      {{{VARNOX_ERR_MISCOMPARE, 2}, {VARNOX_ERR_DEVICE, 1}}, 0},
      {{{VARNOX_ERR_ATOMIC_ORDERING, 3}, {VARNOX_ERR_MISCOMPARE, 2}, {VARNOX_ERR_DEVICE, 1}}, 1},
      {{{VARNOX_ERR_DEVICE, 3}, {VARNOX_ERR_DEVICE, 2}, {VARNOX_OK, 1}}, 1},
      {{{VARNOX_ERR_NO_MEMORY, 1}, {VARNOX_ERR_DEVICE, 2}}, 1},
      {{{VARNOX_OK, 0}, {VARNOX_ERR_NO_MEMORY, 2}}, 1},
  };
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(speakingSlice(cases[i].ends), cases[i].speaking) << "case " << i;
}

// slices = "cores" is one slice per CPU this process may run on, not per CPU of the machine.
TEST(DriveSlices, CoresAreTheCpusTheProcessMayRunOn) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  EXPECT_EQ(onlineCores(), static_cast<uint32_t>(CPU_COUNT(&allowed)));
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const uint32_t pinned = onlineCores();
  ASSERT_EQ(sched_setaffinity(0, sizeof allowed, &allowed), 0);
  EXPECT_EQ(pinned, 1u);
}

TEST(SliceRanges, EverySplitCoversTheRangeWithAlignedBoundariesAndRoomForATransfer) {
  for (uint64_t last : {63ull, 1000ull, 65535ull, 1999999ull})
    for (uint32_t count = 1; count <= 7; ++count)
      for (uint64_t alignment : {1ull, 8ull, 64ull}) {
        std::string error;
        const std::vector<LbaRange> parts = splitLbaRange({0, last}, count, alignment, 4, error);
        if (parts.empty()) continue;
        ASSERT_EQ(parts.size(), count);
        EXPECT_EQ(parts.front().first, 0u);
        EXPECT_EQ(parts.back().last, last);
        for (size_t i = 0; i < parts.size(); ++i) {
          EXPECT_GE(parts[i].blocks(), 4u);
          if (i > 0) {
            EXPECT_EQ(parts[i].first, parts[i - 1].last + 1);
            EXPECT_EQ(parts[i].first % alignment, 0u);
          }
        }
      }
  EXPECT_EQ(sliceAlignment(3, 0, 0), 8u);
  EXPECT_EQ(sliceAlignment(0, 12, 0), 12u);
  EXPECT_EQ(sliceAlignment(2, 6, 1000), 3000u);
}

// Two slices of 8 tags on one simulated drive, completions in order.
struct TwoSlices {
  sim::testing::Harness drive;
  DeviceSlices slices;
  explicit TwoSlices(sim::SimConfig config = sim::testing::smallConfig())
      : drive(config), slices(*drive.device, 2, 8) {}
  int write(uint32_t slice, uint32_t tag, uint64_t lba, uint8_t stamp) {
    static std::vector<uint8_t> data;
    data = pattern(lba, 1, 512, stamp);
    uint8_t cdb[kCdbMaxBytes];
    const size_t n = buildWrite16(cdb, lba, 1, 0);
    DeviceCommand c{.tag = tag, .cdbLength = static_cast<uint32_t>(n), .dataOut = data.data(),
                    .dataOutBytes = data.size()};
    std::copy(cdb, cdb + n, c.cdb);
    return slices.slice(slice).submit(c);
  }
};

TEST(DeviceSlices, EachSliceKeepsItsTagsAndTakesOnlyItsOwnCompletions) {
  TwoSlices t;
  ASSERT_EQ(t.write(0, 3, 10, 1), 0);
  ASSERT_EQ(t.write(1, 3, 5000 % 4096, 2), 0);  // the same tag on the other slice
  ASSERT_EQ(t.write(1, 4, 3000, 3), 0);
  EXPECT_EQ(t.drive.device->outstanding(), 3u);
  EXPECT_EQ(t.slices.slice(0).outstanding(), 1u);
  EXPECT_EQ(t.slices.slice(1).outstanding(), 2u);
  DeviceCompletion c;
  ASSERT_TRUE(t.slices.slice(1).poll(c, true));
  EXPECT_EQ(c.tag, 3u);
  ASSERT_TRUE(t.slices.slice(1).poll(c, true));
  EXPECT_EQ(c.tag, 4u);
  EXPECT_FALSE(t.slices.slice(1).poll(c, true));  // slice 0's completion stays slice 0's
  ASSERT_TRUE(t.slices.slice(0).poll(c, false));
  EXPECT_EQ(c.tag, 3u);
  EXPECT_EQ(t.slices.slice(0).submit(DeviceCommand{.tag = 8}), VARNOX_ERR_BAD_VALUE);  // beyond its 8 tags
}

TEST(DeviceSlices, APowerToggleOfOneSliceReachesEveryOtherSliceOnce) {
  TwoSlices t;
  ASSERT_EQ(t.write(0, 0, 10, 1), 0);
  ASSERT_EQ(t.write(1, 0, 3000, 2), 0);
  ASSERT_EQ(t.slices.slice(0).powerToggle(), 0);
  EXPECT_EQ(t.drive.device->outstanding(), 0u);
  // The toggling slice forgets its own commands; it is told of no event.
  EXPECT_FALSE(t.slices.slice(0).takeResetEvent());
  EXPECT_EQ(t.slices.slice(0).outstanding(), 0u);
  // Until slice 1 takes the event its commands are lost to it: accepted, never sent.
  const uint64_t sent = t.drive.device->stats().commands;
  ASSERT_EQ(t.write(1, 1, 3001, 3), 0);
  EXPECT_EQ(t.drive.device->stats().commands, sent);
  DeviceCompletion c;
  EXPECT_FALSE(t.slices.slice(1).poll(c, true));
  EXPECT_TRUE(t.slices.slice(1).takeResetEvent());
  EXPECT_TRUE(t.slices.slice(1).takePowerLossEvent());
  EXPECT_FALSE(t.slices.slice(1).takeResetEvent());
  EXPECT_FALSE(t.slices.slice(1).takePowerLossEvent());
  EXPECT_EQ(t.slices.slice(1).outstanding(), 0u);
  ASSERT_EQ(t.write(1, 1, 3001, 4), 0);
  EXPECT_EQ(t.drive.device->stats().commands, sent + 1);
  EXPECT_EQ(t.slices.powerCycles(), 1u);
  ASSERT_EQ(t.slices.events().size(), 1u);
  EXPECT_EQ(t.slices.events()[0].kind, "power cycle");
}

TEST(DeviceSlices, AResetTheDriveInjectsInOneSlicesCommandReachesBothSlices) {
  sim::SimConfig config = sim::testing::smallConfig();
  FaultRule reset;
  reset.kind = "reset";
  reset.after = 1;
  config.faults.push_back(reset);
  TwoSlices t(config);
  ASSERT_EQ(t.write(1, 0, 3000, 1), 0);
  ASSERT_EQ(t.write(0, 0, 10, 2), 0);  // the reset fires here
  for (uint32_t slice : {0u, 1u}) {
    EXPECT_TRUE(t.slices.slice(slice).takeResetEvent()) << slice;
    EXPECT_FALSE(t.slices.slice(slice).takePowerLossEvent()) << slice;
    EXPECT_EQ(t.slices.slice(slice).outstanding(), 0u) << slice;
  }
  EXPECT_EQ(t.slices.resets(), 1u);
}


// Slice 0 sends syncs and cuts power; slice 1's writes complete, and at its passes it is told
// what slice 0's syncs covered of them, in step with the power losses it is told of. Steps: w a
// write of slice 1 completes; s slice 0 sends a sync (R one of a range, I one with IMMED), S it
// completes; c slice 0 toggles power, r resets the drive (slice 1 takes it); x a write of slice 0
// completes; t slice 1 takes the event; p a pass of slice 1 that reports a power-on, q one that
// does not ("before/after" of the last pass).
TEST(DeviceSlices, AnotherSlicesSyncCoversTheCompletionsBeforeItAndCountsBeforeTheLossItPreceded) {
  const struct {
    const char* steps;
    uint64_t before, after;
  } cases[] = {
      {"wsSq", 0, 1},      // covers the write that completed before it was sent
      {"wswSq", 0, 1},     // not the one that completed after
      {"wwsSq", 0, 2},
      {"wsSctp", 1, 0},    // completed before the cut: counts before it
      {"wsSccctp", 1, 0},  // several cuts before slice 1 takes them
      {"wsctp", 0, 0},     // the cut took the sync
      {"wctsSp", 0, 1},    // sent after the cut slice 1 has taken: after the power-on
      {"wcsStp", 0, 1},    // sent after a cut slice 1 has not taken yet: after it too
      {"wcsSq", 0, 0},     // ... and held until slice 1 takes that cut
      {"wsSqq", 0, 0},     // told once
      {"wsSctpwsSq", 0, 2},
      {"wsScsSctp", 1, 0},    // one between two cuts slice 1 takes at once: dropped
      {"wsScsSctpwsSq", 0, 2},
      {"wsrxq", 0, 0},        // a reset took the sync: the next command on its tag is no sync
      {"wRSq", 0, 0},         // a sync of a range, or one that returns before the flush
      {"wISq", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.steps);
    TwoSlices t;
    uint64_t lba = 3000;
    SliceSyncCover cover;
    DeviceCompletion done;
    for (const char* step = c.steps; *step != 0; ++step) {
      switch (*step) {
        case 'w':
          ASSERT_EQ(t.write(1, 0, lba++, 1), 0);
          ASSERT_TRUE(t.slices.slice(1).poll(done, true));
          break;
        case 's':
        case 'R':
        case 'I': {
          DeviceCommand sync{.tag = 0};
          sync.cdbLength = static_cast<uint32_t>(
              buildSynchronizeCache16(sync.cdb, 0, *step == 'R' ? 16 : 0, *step == 'I'));
          ASSERT_EQ(t.slices.slice(0).submit(sync), 0);
          break;
        }
        case 'r':
          ASSERT_EQ(t.slices.slice(0).reset(), 0);
          ASSERT_TRUE(t.slices.slice(1).takeResetEvent());
          break;
        case 'x':
          ASSERT_EQ(t.write(0, 0, 10, 1), 0);
          ASSERT_TRUE(t.slices.slice(0).poll(done, true));
          ASSERT_EQ(done.status, kStatusGood);
          break;
        case 'S':
          ASSERT_TRUE(t.slices.slice(0).poll(done, true));
          ASSERT_EQ(done.status, kStatusGood);
          break;
        case 'c':
          ASSERT_EQ(t.slices.slice(0).powerToggle(), 0);
          break;
        case 't':
          ASSERT_TRUE(t.slices.slice(1).takeResetEvent());
          break;
        default:
          cover = t.slices.slice(1).takeSliceSyncCover(*step == 'p');
      }
    }
    EXPECT_EQ(cover.beforePowerOn, c.before);
    EXPECT_EQ(cover.after, c.after);
  }
}

// A slice's command steps hand the cover to its agents at a pass's start, split by whether the
// pass reports the power loss ("EPO"), and say nothing on a drive of one slice.
TEST(DeviceSlices, TheStepsOfASliceTellItsAgentsWhatTheOtherSlicesSyncsCovered) {
  for (const bool powerOn : {true, false}) {
    SCOPED_TRACE(powerOn ? "a pass that reports the power-on" : "a pass before it");
    TwoSlices t;
    DriveProperties properties;
    properties.queueDepth = 8;
    DriveThread thread(properties);
    CommandSteps steps(thread, t.slices.slice(1));
    steps.setSliced(true);
    std::string error;
    ASSERT_EQ(steps.mapVariables({{StepKind::GetStatus, "getstatus"}}, error), 0) << error;
    int err = 0;
    const uint64_t* before = thread.mapU64("SyncedCompletionsBeforePowerOn", kVarRead, &err, 0);
    const uint64_t* after = thread.mapU64("SyncedCompletions", kVarRead, &err, 0);
    ASSERT_EQ(err, 0);
    // A write of slice 1 completes, slice 0's sync covers it and completes, then slice 0 cuts.
    DeviceCompletion done;
    ASSERT_EQ(t.write(1, 0, 3000, 1), 0);
    ASSERT_TRUE(t.slices.slice(1).poll(done, true));
    DeviceCommand sync{.tag = 0};
    sync.cdbLength = static_cast<uint32_t>(buildSynchronizeCache16(sync.cdb));
    ASSERT_EQ(t.slices.slice(0).submit(sync), 0);
    ASSERT_TRUE(t.slices.slice(0).poll(done, true));
    ASSERT_EQ(t.slices.slice(0).powerToggle(), 0);
    ASSERT_TRUE(t.slices.slice(1).takeResetEvent());
    *steps.epo() = powerOn ? 1 : 0;
    steps.takeSliceSyncCover();
    // On a pass before the power-on is reported the sync comes as any other, ahead of the marks.
    EXPECT_EQ(*before, powerOn ? 1u : 0u);
    EXPECT_EQ(*after, powerOn ? 0u : 1u);
  }
  DriveProperties properties;
  DriveThread thread(properties);
  sim::testing::Harness drive(sim::testing::smallConfig());
  CommandSteps steps(thread, *drive.device);
  std::string error;
  ASSERT_EQ(steps.mapVariables({{StepKind::GetStatus, "getstatus"}}, error), 0) << error;
  EXPECT_EQ(thread.countVarWriters("SyncedCompletions"), 0u);
  EXPECT_EQ(thread.countVarWriters("CompletionNumber"), 0u);
}

}  // namespace
}  // namespace varnox
