// The bytes that operator new has handed out and that are not yet deleted, counted over the
// whole test program (every thread). A program that wants the count lists AllocationCount.cpp
// among its sources: it replaces the global operator new and delete.
//
// The count is what the allocator really gives (malloc_usable_size), so a test can tell
// whether an object holds a buffer of the bytes it has received or of the bytes it was told
// about. Other threads allocate too: compare counts with a margin, not exactly.
//
// The peak is the most bytes held at once since the last resetPeakAllocatedBytes(), which
// starts it again from what is held now and returns that count.
#pragma once

#include <cstdint>

namespace testtools {

int64_t liveAllocatedBytes();
int64_t peakAllocatedBytes();
int64_t resetPeakAllocatedBytes();

}  // namespace testtools
