// The host's tick statistics: a percentile is a bucket's end, at most a
// sixty-fourth above what the ticks took and never below.
#include <gtest/gtest.h>

#include <cstdint>

#include "../quorvane-host/tick_stats.h"

namespace {

// The median of `ns` and a longest tick far above it: `ns`'s bucket end.
std::uint64_t BucketEnd(std::uint64_t ns) {
    qvhost::TickStats stats;
    stats.Record(ns);
    stats.Record(~std::uint64_t{0});
    return stats.PercentileNs(0.5);
}

}  // namespace

TEST(TickStats, APercentileIsWithinASixtyFourthAboveTheTicks) {
    // A bucket of its own each below 64 ns; from there on the edges of the
    // powers of two, and a tick's budget of 4 ms told from 4.06 ms.
    for (const std::uint64_t ns : {0ull, 1ull, 63ull, 64ull, 65ull, 127ull, 128ull, 129ull, 4'000'000ull,
                                   4'060'000ull, (1ull << 40) - 1, 1ull << 40}) {
        const std::uint64_t end = BucketEnd(ns);
        EXPECT_GE(end, ns);
        EXPECT_LE(end - ns, ns / 64) << ns;
        // The end is in its bucket, the next nanosecond is not.
        EXPECT_EQ(BucketEnd(end), end) << ns;
        EXPECT_GT(BucketEnd(end + 1), end) << ns;
    }
}
