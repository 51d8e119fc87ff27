#pragma once

// Token buckets for answers to strangers: so many a second with a burst, overall or per source
// IP. A forged source address only ever drains its own bucket.

#include <QHash>
#include <QtGlobal>
#include <cstdint>

namespace dx8 {

class TokenBucket {
public:
    TokenBucket(double perSecond, double burst) : rate_(perSecond), burst_(burst) {}
    // Takes one token when there is one; now in ms on any steady clock.
    bool take(qint64 now);

private:
    double rate_;
    double burst_;
    double tokens_ = -1;  // full on first use
    qint64 at_ = 0;
};

class PerSourceLimit {
public:
    PerSourceLimit(double perSecond, double burst) : rate_(perSecond), burst_(burst) {}
    bool take(uint32_t sourceIp, qint64 now);

private:
    double rate_;
    double burst_;
    QHash<uint32_t, TokenBucket> buckets_;
};

}  // namespace dx8
