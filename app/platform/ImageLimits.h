#pragma once

namespace harbelle {

// Qt refuses to decode images above 128 MB of pixels by default; a 25 MB PNG screenshot of a
// large display can need more. Raised on purpose, still bounded.
inline constexpr int kImageAllocationLimitMB = 1024;
// Sets the limit above; main thread, before decoding.
void raiseImageAllocationLimit();

}  // namespace harbelle
