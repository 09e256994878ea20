#pragma once

// The test program's global operator new, which counts what this thread allocates while asked
// to. Defined in a file of its own: inlined beside the tests, GCC takes its free() for a mismatch
// with new at -O2.
namespace orvektest {

// This thread: counts from now on (true) or no longer (false).
void CountAllocations(bool bCount);
// Allocations counted so far, on any thread; returns them and starts again from zero.
int TakeCountedAllocations();

} // namespace orvektest
