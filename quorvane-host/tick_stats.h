// How long the module's loop callbacks take: a count, the longest, and a
// histogram fine enough for a percentile within an eighth. Fixed size, so
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
    // Values below 8 ns have a bucket each; above, each power of two is cut
    // into 8 buckets.
    static constexpr int kSub = 8;
    static std::size_t Bucket(std::uint64_t ns);
    static std::uint64_t BucketEnd(std::size_t bucket);

    std::array<std::uint64_t, kSub + 61 * kSub> buckets_{};
    std::uint64_t count_ = 0;
    std::uint64_t max_ = 0;
};

}  // namespace qvhost

#endif
