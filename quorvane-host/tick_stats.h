// How long the module's loop callbacks take: a count, the longest, and a
// histogram fine enough for a percentile within 1/64: a tick's budget of
// 4 ms is told from 4.06. Fixed size, so
// a host that runs for months records ticks without growing.
#ifndef QV_HOST_TICK_STATS_H
#define QV_HOST_TICK_STATS_H

#include <array>
#include <cstdint>

namespace qvhost {

class TickStats {
public:
    void Record(std::uint64_t ns);
    void Reset() { *this = TickStats{}; }
    std::uint64_t Count() const { return count_; }
    std::uint64_t MaxNs() const { return max_; }
    // The smallest duration that at least `fraction` of the ticks took no
    // longer than, rounded up to its bucket's end (never above the max).
    std::uint64_t PercentileNs(double fraction) const;

private:
    // Values below kSub ns have a bucket each; above, each power of two is
    // cut into kSub buckets.
    static constexpr int kSubBits = 6;
    static constexpr int kSub = 1 << kSubBits;
    static std::size_t Bucket(std::uint64_t ns);
    static std::uint64_t BucketEnd(std::size_t bucket);

    std::array<std::uint64_t, kSub + (64 - kSubBits) * kSub> buckets_{};
    std::uint64_t count_ = 0;
    std::uint64_t max_ = 0;
};

}  // namespace qvhost

#endif
