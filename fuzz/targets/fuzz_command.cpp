// libFuzzer target: see fuzz/entries/FuzzEntries.h.
#include "fuzz/entries/FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return marlin::fuzz::CommandOneInput(data, size);
}
