#pragma once
// The near misses of a secret that a check must refuse: the right value with one byte changed at
// its start, in its middle or at its end, cut short, or longer than it is.

#include <QByteArray>
#include <concepts>
#include <vector>

namespace orvel::testing {

template <typename T>
struct NearMiss {
    const char* what;
    T value;
};

inline std::vector<NearMiss<QByteArray>> nearMisses(const QByteArray& right) {
    const auto changed = [&right](qsizetype at) {
        QByteArray b = right;
        b[at] = static_cast<char>(b[at] ^ 0x5A);
        return b;
    };
    return {{"its first byte changed", changed(0)},
            {"its middle byte changed", changed(right.size() / 2)},
            {"its last byte changed", changed(right.size() - 1)},
            {"one byte short", right.chopped(1)},
            {"one byte too long", right + '\0'},
            {"empty", QByteArray()}};
}

// An integer's bytes counted from its lowest. Cut short, its low half is all that is left; too
// long, an extra byte comes below it and its highest falls off.
template <std::unsigned_integral T>
std::vector<NearMiss<T>> nearMisses(T right) {
    constexpr unsigned kBytes = sizeof(T);
    const auto changed = [right](unsigned at) { return T(right ^ (T(0x5A) << (8 * at))); };
    return {{"its lowest byte changed", changed(0)},
            {"a middle byte changed", changed(kBytes / 2)},
            {"its highest byte changed", changed(kBytes - 1)},
            {"its low half only", T(right & (T(~T(0)) >> (4 * kBytes)))},
            {"shifted up a byte", T((right << 8) | 0x5A)}};
}

}  // namespace orvel::testing
