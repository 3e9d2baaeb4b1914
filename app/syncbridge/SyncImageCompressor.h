#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Defaults.h"

class QImage;

namespace harbelle {

// The upload copy of a captured image.
struct SyncImageDerivative {
    Bytes data;
    std::string contentType;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    std::string digest;
    bool operator==(const SyncImageDerivative&) const = default;
};

// Pure functions over image bytes, safe on any thread: decides whether a captured image can be
// uploaded as it is or must be re-encoded smaller, and re-encodes it.
namespace SyncImageCompressor {

inline constexpr std::int64_t kPassThroughPixelSize = 1600;
inline constexpr std::size_t kPassThroughByteCount = 204'800;
inline constexpr std::size_t kMaxDerivativeByteCount = 524'288;
// Captured images above this were never stored; anything larger here is not decoded either.
inline constexpr std::int64_t kMaxSourcePixels = 100'000'000;

std::optional<SyncImageDerivative> derivative(const Bytes& bytes);

// One re-encoding of an upright image: scaled down (never up) so its longer side is at most
// maxPixelSize, as PNG or as JPEG at the given quality (0...1).
std::optional<SyncImageDerivative> encode(const QImage& upright, int maxPixelSize, double quality, bool usePNG);

// True when any pixel of the image is not fully opaque.
bool containsTransparentPixel(const QImage& image);

std::string sha256Hex(const Bytes& bytes);

// Received images larger than this are refused without decoding them.
inline constexpr std::int64_t kMaxReceivedPixels = 64'000'000;
// Whether an image received through sync can be stored: its SHA-256 is the digest it came
// with, and it decodes as the declared type ("image/png" or "image/jpeg") within the limit.
bool isAcceptableReceivedImage(const Bytes& data, const std::string& contentType, const std::string& digest);

}  // namespace SyncImageCompressor

}  // namespace harbelle
