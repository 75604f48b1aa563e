#include "platform/os/Memory.h"

#include <malloc.h>

void UseFixedLargeBlockThreshold()
{
    // Pictures and sound blocks are large, short-lived buffers of many
    // threads. A fixed threshold sends them to mmap for good: glibc would
    // otherwise raise it (and the trim threshold with it) after the first
    // big free, and every thread's arena would keep its high-water mark.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}

void ReleaseFreedMemory()
{
    malloc_trim(0);
}
