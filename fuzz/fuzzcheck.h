#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant stops the run loudly: libFuzzer saves the input as a crasher, and the replay test
// fails with the message.
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);           \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (false)
