#pragma once
// `--smoke`, which every benchmark takes: each case runs once at its smallest, so that CI sees in
// seconds that the benchmark still runs to the end and prints its figures.

#include <cstring>

namespace orvel::bench {

// Takes `--smoke` out of the arguments, so that the rest read as before; whether it was there.
inline bool takeSmokeFlag(int& argc, char** argv) {
    bool found = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0) {
            found = true;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return found;
}

}  // namespace orvel::bench
