// libFuzzer target: see fuzz/entries/FuzzEntries.h.
#include "fuzz/entries/FuzzEntries.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    marlin::fuzz::MediaInit();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return marlin::fuzz::MediaOneInput(data, size);
}
