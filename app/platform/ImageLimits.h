#pragma once

#include <QSize>

namespace harbelle {

// Images claiming more pixels than this are never decoded: a file of a few hundred kilobytes
// can otherwise ask for gigabytes.
inline constexpr long long kMaximumImagePixels = 100'000'000;
// Whether a size read from an image's header is over that limit.
inline bool exceedsImagePixelLimit(QSize size) {
    return size.isValid() && static_cast<long long>(size.width()) * size.height() > kMaximumImagePixels;
}

// Qt refuses to decode images above 128 MB of pixels by default; a 25 MB PNG screenshot of a
// large display can need more. Raised on purpose, still bounded.
inline constexpr int kImageAllocationLimitMB = 1024;
// Sets the limit above; main thread, before decoding.
void raiseImageAllocationLimit();

}  // namespace harbelle
