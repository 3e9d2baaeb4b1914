#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace harbelle {

// Work on a large history shared with a few threads that stay alive between uses (a search
// per keystroke, the history load). [0, total) is cut into `chunks` contiguous ranges, each
// taken by whichever thread comes first: the caller works too, so a helper the scheduler has
// not started yet costs nothing, and the caller waits only for ranges a helper has begun.
// `work(chunk, from, to)` runs once per range and must not throw. Returns when all are done.
// `callerShare`: processor time of the calling thread after which it takes no further range
// and leaves the rest to the helpers, so a step of the GUI thread stays within a frame however
// late a busy machine starts them.
void runInChunks(std::size_t total, std::size_t threads, std::size_t chunks,
                 const std::function<void(std::size_t chunk, std::size_t from, std::size_t to)>& work,
                 std::chrono::microseconds callerShare = std::chrono::microseconds::max());

// How many threads are worth using, at most `wanted`.
std::size_t usefulThreads(std::size_t wanted);

}  // namespace harbelle
