#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "history/ClipItem.h"
#include "history/ClipList.h"

namespace harbelle {

// Thrown when a history file (or one of its records) cannot be decoded; what() says why.
class HistoryDecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The history file's JSON form: ISO-8601 whole-second UTC dates, Base64 byte fields,
// omitted optionals, unknown keys ignored. One bad record fails the whole file.
namespace historycodec {
std::string encode(const PersistedHistory& history);
// Receives the encoded file a piece at a time; false stops the encoding (EncodingStopped).
using ChunkSink = std::function<bool(std::string_view piece)>;
struct EncodingStopped : std::exception {
    const char* what() const noexcept override { return "the encoding was stopped"; }
};
// encode() handed to `sink` in pieces of `chunkBytes` (the last one shorter), never held whole.
// A large history's clips are encoded on `threads` threads at once (0: as many as are worth it).
void encode(const PersistedHistory& history, const ChunkSink& sink, std::size_t chunkBytes = std::size_t{8} << 20,
            std::size_t threads = 0);
// The bytes encode() writes for one clip, escapes counted, without writing them.
std::uint64_t encodedSize(const ClipItem& item);
// The bytes of a whole file whose `itemCount` clips take `itemBytes` together.
std::uint64_t encodedSize(std::int64_t version, std::size_t itemCount, std::uint64_t itemBytes);
// Throws HistoryDecodeError. `readableBeyondEnd`: bytes the caller's buffer holds past the
// text (a string's capacity - size); with 64 or more the text is parsed without a copy.
PersistedHistory decode(std::string_view json, std::size_t readableBeyondEnd = 0);

// decode() that keeps the parser's working memory (about twice the text) until the decoder
// is destroyed, so that a large history's can be let go when the time does not count.
class Decoder {
public:
    Decoder();
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    PersistedHistory decode(std::string_view json, std::size_t readableBeyondEnd = 0);
    // Once `stop` is set, decode() throws between records.
    void setStop(const std::atomic<bool>* stop) { stop_ = stop; }

private:
    struct Parser;
    std::unique_ptr<Parser> parser_;
    const std::atomic<bool>* stop_ = nullptr;
};

std::string formatDate(Date date);                           // "2026-12-07T08:00:00Z"
std::optional<Date> parseDate(std::string_view text);        // exactly that form
std::string base64Encode(const Bytes& data);
std::optional<Bytes> base64Decode(std::string_view text);
}  // namespace historycodec

}  // namespace harbelle
