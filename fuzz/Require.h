#pragma once

#include <cstdlib>

// A broken property stops the run, so that libFuzzer keeps the input that broke it.
inline void Require(bool condition)
{
    if (!condition)
        std::abort();
}
