#pragma once

// Shared pieces of the fuzz targets: a failed expectation aborts, so that libFuzzer
// keeps the input that broke it.

#include <cstdio>
#include <cstdlib>

#define FUZZ_EXPECT(condition)                                                              \
    do {                                                                                    \
        if (!(condition)) {                                                                 \
            std::fprintf(stderr, "%s:%d: expectation failed: %s\n", __FILE__, __LINE__,    \
                         #condition);                                                       \
            std::abort();                                                                   \
        }                                                                                   \
    } while (false)
