#pragma once

// What the fuzz targets share: a hard stop that libFuzzer reports as a crash with its input.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                         \
    do {                                                                              \
        if (!(condition)) {                                                           \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, \
                         __LINE__);                                                   \
            std::abort();                                                             \
        }                                                                             \
    } while (0)
