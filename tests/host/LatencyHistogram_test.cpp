#include "varnox/LatencyHistogram.h"

#include <gtest/gtest.h>

#include <memory>

namespace varnox {
namespace {

TEST(LatencyHistogram, EveryValueLandsInABucketThatHoldsItAtAboutOnePercentWidth) {
  const uint64_t values[] = {0, 1, 255, 256, 257, 999, 1000, 123456, 50'000'000, 99'999'999'999, (1ull << 37) - 1};
  for (uint64_t v : values) {
    const size_t b = LatencyHistogram::bucketOf(v);
    ASSERT_LT(b, LatencyHistogram::kBuckets) << v;
    EXPECT_LE(LatencyHistogram::bucketLowNs(b), v) << v;
    EXPECT_GE(LatencyHistogram::bucketHighNs(b), v) << v;
    EXPECT_LE(LatencyHistogram::bucketHighNs(b) - LatencyHistogram::bucketLowNs(b), v / 128) << v;
    if (b > 0) {
      EXPECT_EQ(LatencyHistogram::bucketHighNs(b - 1) + 1, LatencyHistogram::bucketLowNs(b)) << v;
    }
  }
  // Beyond the range everything shares the last bucket.
  EXPECT_EQ(LatencyHistogram::bucketOf(1ull << 37), LatencyHistogram::kBuckets - 1);
  EXPECT_EQ(LatencyHistogram::bucketOf(UINT64_MAX), LatencyHistogram::kBuckets - 1);
}

TEST(LatencyHistogram, PercentilesMeanAndMaxOfAKnownMixAndOfAnInterval) {
  auto histogram = std::make_unique<LatencyHistogram>();
  // 990 commands of 10 us, 9 of 2 ms, one of 5 s.
  for (int i = 0; i < 990; ++i) histogram->record(10'000);
  for (int i = 0; i < 9; ++i) histogram->record(2'000'000);
  const LatencySnapshot before = histogram->snapshot();
  histogram->record(5'000'000'000);
  const LatencySnapshot all = histogram->snapshot();

  EXPECT_EQ(all.count, 1000u);
  EXPECT_EQ(all.maxNs, 5'000'000'000u);
  EXPECT_NEAR(all.meanNs(), (990 * 10'000.0 + 9 * 2e6 + 5e9) / 1000, 1);
  // (fraction, lowest and highest acceptable answer): a bucket's bound, within 1%.
  const struct {
    double fraction;
    uint64_t low, high;
  } table[] = {{0.5, 10'000, 10'100}, {0.99, 10'000, 10'100}, {0.991, 2'000'000, 2'020'000},
               {0.999, 2'000'000, 2'020'000}, {0.9999, 5'000'000'000, 5'000'000'000}, {1.0, 5'000'000'000, 5'000'000'000}};
  for (const auto& row : table) {
    EXPECT_GE(all.percentileNs(row.fraction), row.low) << row.fraction;
    EXPECT_LE(all.percentileNs(row.fraction), row.high) << row.fraction;
  }
  const LatencySnapshot last = all.since(before);
  EXPECT_EQ(last.count, 1u);
  EXPECT_GE(last.percentileNs(0.5), 4'950'000'000u);
  EXPECT_EQ(LatencySnapshot{}.percentileNs(0.99), 0u);
}

}  // namespace
}  // namespace varnox
