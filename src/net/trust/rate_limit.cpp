#include "net/trust/rate_limit.h"

#include <algorithm>

namespace dx8 {

namespace {

// Past this many sources the table starts afresh: a flood of forged addresses costs memory no
// more than it costs answers.
constexpr qsizetype kMaxSources = 4096;

}  // namespace

bool TokenBucket::take(qint64 now) {
    if (tokens_ < 0) {
        tokens_ = burst_;
    } else {
        tokens_ = std::min(burst_, tokens_ + static_cast<double>(now - at_) * rate_ / 1000.0);
    }
    at_ = now;
    if (tokens_ < 1.0) {
        return false;
    }
    tokens_ -= 1.0;
    return true;
}

bool PerSourceLimit::take(uint32_t sourceIp, qint64 now) {
    if (buckets_.size() > kMaxSources) {
        buckets_.clear();
    }
    auto it = buckets_.find(sourceIp);
    if (it == buckets_.end()) {
        it = buckets_.insert(sourceIp, TokenBucket(rate_, burst_));
    }
    return it->take(now);
}

}  // namespace dx8
