// Which completions are the device's own failures: only those decide exit 3, and a wrong rule
// either hides a failing drive or fails a run on errors the test injected or the agent judges.
#include "varnox/DeviceErrors.h"

#include <gtest/gtest.h>

#include "tavik/SenseBuilder.h"

namespace varnox {
namespace {

DeviceCompletion completion(uint8_t status, uint8_t key = 0, bool injected = false) {
  DeviceCompletion c;
  c.status = status;
  c.injected = injected;
  if (status == kStatusCheckCondition) c.sense = fixedSense(SenseFields{key, 0x11, 0x00, false, 0, 0});
  return c;
}

TEST(DeviceErrors, OnlyTheDevicesOwnErrorsCountAndTheToleranceDecides) {
  const struct {
    const char* what;
    DeviceCompletion done;
    bool delivered;
    bool counted;
  } cases[] = {
      {"GOOD", completion(kStatusGood), true, false},
      {"recovered error", completion(kStatusCheckCondition, kSenseRecoveredError), true, false},
      {"verify miscompare (the agent judges it)", completion(kStatusCheckCondition, kSenseMiscompare), false, false},
      {"injected medium error", completion(kStatusCheckCondition, kSenseMediumError, true), false, false},
      {"injected abort", completion(kStatusTaskAborted, 0, true), false, false},
      {"medium error", completion(kStatusCheckCondition, kSenseMediumError), false, true},
      {"illegal request", completion(kStatusCheckCondition, kSenseIllegalRequest), false, true},
      {"abort", completion(kStatusTaskAborted), false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(completionDeliveredData(c.done), c.delivered);
    DeviceErrors strict;
    EXPECT_EQ(strict.count(c.done, "Read", 0x10, 8), c.counted);
    EXPECT_EQ(strict.count(), c.counted ? 1u : 0u);
  }

  // One tolerated: the second error stops the drive, and the line names the first.
  DeviceErrors tolerant;
  tolerant.setTolerated(1);
  EXPECT_FALSE(tolerant.count(completion(kStatusCheckCondition, kSenseMediumError), "Read", 0x10, 8));
  EXPECT_TRUE(tolerant.count(completion(kStatusTaskAborted), "Write", 0x20, 4));
  EXPECT_EQ(tolerant.describe(),
            "2 device errors (1 tolerated); the first: Read at LBA 0x0000000000000010 of 8 blocks: CHECK CONDITION, "
            "sense 03/11/00");
}

}  // namespace
}  // namespace varnox
