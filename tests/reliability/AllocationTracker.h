#pragma once
// The live heap bytes of the whole process and their peak, counted by a
// malloc hook: the process's own malloc family in plain builds, the
// sanitizer's allocation hooks under a sanitizer. Linked into this folder's
// test executable only.

#include <cstdint>

namespace celtest {

class AllocationTracker {
public:
    // Whether allocations are being counted (the hook is in place).
    static bool active();
    // Starts a measurement: the peak is set to the bytes live now.
    static void resetPeak();
    // The most bytes live since resetPeak(), less those live when it was called.
    static int64_t peakGrowth();
};

} // namespace celtest
