#pragma once

// A token bucket: `rate` tokens a second, never more than `burst` saved up.

#include <algorithm>
#include <cstdint>

namespace orvel::meet {

struct Budget {
    double tokens = -1;  // below zero: not used yet, starts full
    int64_t atMs = 0;

    void refill(double rate, double burst, int64_t nowMs) {
        tokens = tokens < 0 ? burst : std::min(burst, tokens + (nowMs - atMs) * rate / 1000.0);
        atMs = nowMs;
    }
    bool take(double cost, double rate, double burst, int64_t nowMs) {
        refill(rate, burst, nowMs);
        if (tokens < cost) {
            return false;
        }
        tokens -= cost;
        return true;
    }
    bool full(double rate, double burst, int64_t nowMs) {
        refill(rate, burst, nowMs);
        return tokens >= burst;
    }
};

}  // namespace orvel::meet
