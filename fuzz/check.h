// Invariant checks for the fuzz targets. A broken invariant prints what broke and aborts, which
// libFuzzer records as a crash with the input that caused it, and which fails a corpus replay.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond, ...)                                                             \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            (void)std::fprintf(stderr, "%s:%d: broken: %s: ", __FILE__, __LINE__, #cond); \
            (void)std::fprintf(stderr, __VA_ARGS__);                                      \
            (void)std::fputc('\n', stderr);                                               \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)
