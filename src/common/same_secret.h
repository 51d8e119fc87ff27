#pragma once

// The one comparison for secrets a peer shows us: proofs, cookies, tokens, MACs. It looks at
// every byte whatever the first difference, so that how long a check takes tells a guesser
// nothing about how near it came.

#include <QByteArray>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace orvel {

bool sameSecret(const void* a, const void* b, size_t size);

// Sizes are no secret: values of different sizes differ.
inline bool sameSecret(const QByteArray& a, const QByteArray& b) {
    return a.size() == b.size() &&
           sameSecret(a.constData(), b.constData(), static_cast<size_t>(a.size()));
}

template <std::unsigned_integral T>
bool sameSecret(T a, std::type_identity_t<T> b) {
    return sameSecret(&a, &b, sizeof a);
}

template <size_t N>
bool sameSecret(const std::array<uint8_t, N>& a, const std::array<uint8_t, N>& b) {
    return sameSecret(a.data(), b.data(), N);
}

}  // namespace orvel
