#pragma once
// What every fuzz target shares: a broken invariant aborts, so libFuzzer keeps the input.

#include <cstdio>
#include <cstdlib>

namespace tarvok::fuzz {

inline void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace tarvok::fuzz
