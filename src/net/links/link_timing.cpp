#include "net/links/link_timing.h"

#include <algorithm>

namespace dx8 {

int stretchedMs(int baseMs, int roundTripMs) {
    if (roundTripMs <= kBaseRoundTripMs) {
        return baseMs;
    }
    const qint64 stretched = static_cast<qint64>(baseMs) * roundTripMs / kBaseRoundTripMs;
    return static_cast<int>(std::min<qint64>(stretched, static_cast<qint64>(baseMs) * kMaxStretch));
}

bool cutOffFromAll(const std::vector<qint64>& othersSilentMs) {
    return !othersSilentMs.empty() &&
           std::all_of(othersSilentMs.begin(), othersSilentMs.end(),
                       [](qint64 silent) { return silent >= kDarkLinkMs; });
}

}  // namespace dx8
