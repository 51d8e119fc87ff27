#include "common/same_secret.h"

#include <cstring>

namespace orvel {

bool sameSecret(const void* a, const void* b, size_t size) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // The fuzzer reads the value a check wants off memcmp, as a peer reads a cookie off the
    // answer it was sent; an XOR over every byte would hide it.
    return std::memcmp(a, b, size) == 0;
#else
    // Volatile, so that the compiler cannot stop at the first difference either.
    const auto* x = static_cast<const volatile unsigned char*>(a);
    const auto* y = static_cast<const volatile unsigned char*>(b);
    unsigned char diff = 0;
    for (size_t i = 0; i < size; ++i) {
        diff |= static_cast<unsigned char>(x[i] ^ y[i]);
    }
    return diff == 0;
#endif
}

}  // namespace orvel
