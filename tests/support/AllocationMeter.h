#pragma once

#include <cstddef>

namespace harbelle::testing {

// Measures what `operator new` hands out, on every thread, while one meter is alive: the total
// and the peak of live bytes above the level at its start. SQLite's own allocations are added
// from its high-water mark. Memory freed that was allocated before the start counts as freed.
class AllocationMeter {
public:
    AllocationMeter();
    ~AllocationMeter();
    AllocationMeter(const AllocationMeter&) = delete;
    AllocationMeter& operator=(const AllocationMeter&) = delete;

    std::size_t totalBytes() const;
    std::size_t peakBytes() const;
};

}  // namespace harbelle::testing
