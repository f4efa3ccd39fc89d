#include "tick_stats.h"

#include <bit>
#include <cmath>

namespace qvhost {

std::size_t TickStats::Bucket(std::uint64_t ns) {
    if (ns < kSub) return static_cast<std::size_t>(ns);
    int e = std::bit_width(ns) - 1;  // kSubBits..63
    std::uint64_t sub = (ns >> (e - kSubBits)) & (kSub - 1);
    return static_cast<std::size_t>(kSub + (e - kSubBits) * kSub + static_cast<int>(sub));
}

std::uint64_t TickStats::BucketEnd(std::size_t bucket) {
    if (bucket < kSub) return bucket;
    std::size_t e = (bucket - kSub) / kSub + kSubBits;
    std::uint64_t sub = (bucket - kSub) % kSub;
    std::uint64_t start = (std::uint64_t{1} << e) + (sub << (e - kSubBits));
    return start + (std::uint64_t{1} << (e - kSubBits)) - 1;
}

void TickStats::Record(std::uint64_t ns) {
    ++buckets_[Bucket(ns)];
    ++count_;
    if (ns > max_) max_ = ns;
}

std::uint64_t TickStats::PercentileNs(double fraction) const {
    if (count_ == 0) return 0;
    auto rank = static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(count_)));
    if (rank < 1) rank = 1;
    std::uint64_t seen = 0;
    for (std::size_t b = 0; b < buckets_.size(); ++b) {
        seen += buckets_[b];
        if (seen >= rank) {
            std::uint64_t end = BucketEnd(b);
            return end < max_ ? end : max_;
        }
    }
    return max_;
}

}  // namespace qvhost
