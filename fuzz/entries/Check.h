#pragma once
// Aborts with a message when a property of the code under test fails, so the
// fuzzer keeps the input and the replay test fails.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond, ...)                                                  \
    do {                                                                       \
        if (!(cond)) {                                                         \
            std::fprintf(stderr, "fuzz check failed at %s:%d: %s: ", __FILE__, \
                         __LINE__, #cond);                                     \
            std::fprintf(stderr, __VA_ARGS__);                                 \
            std::fputc('\n', stderr);                                          \
            std::abort();                                                      \
        }                                                                      \
    } while (0)
