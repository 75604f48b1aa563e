#pragma once
// The process allocator's settings and housekeeping.

// Sends large blocks (pictures, sound) to their own mappings at a fixed size
// threshold, so that freeing them returns the memory at once. Call it once,
// at process start, before other threads exist.
void UseFixedLargeBlockThreshold();

// Gives the freed pages of every allocator arena back to the system. It
// walks all arenas and can take a while: call it with no lock held.
void ReleaseFreedMemory();
