// Internal invariants: a failure names the expression, the source path and the line, then aborts.
#pragma once

#include <cstdio>
#include <cstdlib>

#define VELDRA_ASSERT(expr)                                                                              \
    do {                                                                                                 \
        if (!(expr)) {                                                                                   \
            std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", #expr, __FILE__, __LINE__); \
            std::abort();                                                                                \
        }                                                                                                \
    } while (0)
