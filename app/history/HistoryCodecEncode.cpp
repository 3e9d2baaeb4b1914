// Writing the history file, and its size counted without writing it.
#include "history/HistoryCodec.h"
#include "common/Base64.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "history/ChunkRunner.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace harbelle::historycodec {
namespace {

// ---- Record encoding ----
//
// Written by hand in field order: compact, "/" unescaped, UTF-8 kept as is. Bytes that are not
// valid UTF-8 become U+FFFD (one per maximal ill-formed subsequence) so a save never fails on
// an odd string. A history can hold hundreds of megabytes of text, much of it control
// characters: strings go through a table, eight bytes at a time where nothing needs escaping,
// into a buffer that is handed on in large pieces.

// What each ASCII byte becomes inside a JSON string: its text (padded to eight bytes so that
// a whole entry is copied with one store) and that text's length; 0 for bytes from 0x80 on.
struct EscapeTable {
    char text[128][8] = {};
    unsigned char length[256] = {};
    constexpr EscapeTable() {
        constexpr char hex[] = "0123456789abcdef";
        for (int c = 0; c < 128; ++c) {
            char* out = text[c];
            const auto two = [&](char second) {
                out[0] = '\\';
                out[1] = second;
                length[c] = 2;
            };
            switch (c) {
            case '"': two('"'); break;
            case '\\': two('\\'); break;
            case '\b': two('b'); break;
            case '\f': two('f'); break;
            case '\n': two('n'); break;
            case '\r': two('r'); break;
            case '\t': two('t'); break;
            default:
                if (c < 0x20) {
                    out[0] = '\\', out[1] = 'u', out[2] = '0', out[3] = '0', out[4] = hex[c >> 4], out[5] = hex[c & 15];
                    length[c] = 6;
                } else {
                    out[0] = char(c);
                    length[c] = 1;
                }
            }
        }
    }
};
constexpr EscapeTable kEscapes;
constexpr std::size_t kLongestEscape = 6;

// Whether none of eight bytes needs attention (a control character, '"', '\\' or a byte from 0x80 on).
inline bool allPlain(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const auto hasZero = [](std::uint64_t x) { return (x - ones) & ~x & highs; };
    const std::uint64_t belowSpace = (word - ones * 0x20) & ~word & highs;
    return ((word & highs) | belowSpace | hasZero(word ^ (ones * '"')) | hasZero(word ^ (ones * '\\'))) == 0;
}

// Stands in for the output string where only the file's size is wanted.
struct ByteCount {
    std::uint64_t bytes = 0;
    ByteCount& operator+=(char) { ++bytes; return *this; }
    ByteCount& operator+=(std::string_view text) { bytes += text.size(); return *this; }
    void append(const char*, std::size_t length) { bytes += length; }
    void append(const char* from, const char* to) { bytes += std::uint64_t(to - from); }
    void base64(const Bytes& value) { bytes += base64::encodedSize(value.size()); }
    // Only ASCII comes here: non-ASCII runs are measured by the writer.
    void escapedAscii(const unsigned char* from, const unsigned char* to) {
        for (; from < to; ++from) bytes += kEscapes.length[*from];
    }
};

// A buffer handed to `sink` whenever it fills; `sink` returning false stops the encoding.
class Chunked {
public:
    Chunked(std::size_t capacity, const ChunkSink& sink) : buffer_(new char[capacity]), capacity_(capacity), sink_(sink) {}
    Chunked& operator+=(char c) {
        room(1);
        buffer_[used_++] = c;
        return *this;
    }
    Chunked& operator+=(std::string_view text) {
        append(text.data(), text.size());
        return *this;
    }
    void append(const char* from, const char* to) { append(from, std::size_t(to - from)); }
    void append(const char* from, std::size_t length) {
        while (length > 0) {
            if (used_ == capacity_) drain();
            const std::size_t step = std::min(length, capacity_ - used_);
            std::memcpy(buffer_.get() + used_, from, step);
            used_ += step;
            from += step;
            length -= step;
        }
    }
    void base64(const Bytes& value) {
        // Three input bytes to four output characters, a piece at a time.
        const std::size_t piece = std::min<std::size_t>(3 << 16, capacity_ / 4 * 3);
        for (std::size_t at = 0; at < value.size(); at += piece) {
            const std::size_t length = std::min(piece, value.size() - at);
            room(base64::encodedSize(length));
            base64::encodeTo(value.data() + at, length, buffer_.get() + used_);
            used_ += base64::encodedSize(length);
        }
    }
    void escapedAscii(const unsigned char* from, const unsigned char* to) {
        while (from < to) {
            room(kLongestEscape + 8);
            const std::size_t fits = (capacity_ - used_ - 8) / kLongestEscape;
            const unsigned char* stop = from + std::min<std::size_t>(fits, std::size_t(to - from));
            char* out = buffer_.get() + used_;
            for (; from < stop; ++from) {
                std::memcpy(out, kEscapes.text[*from], 8);
                out += kEscapes.length[*from];
            }
            used_ = std::size_t(out - buffer_.get());
        }
    }
    // Hands what is left to the sink.
    void finish() {
        if (used_ > 0) drain();
    }

private:
    void room(std::size_t bytes) {
        if (capacity_ - used_ < bytes) drain();
    }
    void drain() {
        if (!sink_(std::string_view(buffer_.get(), used_))) throw EncodingStopped();
        used_ = 0;
    }

    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_;
    std::size_t used_ = 0;
    const ChunkSink& sink_;
};

template <typename Out>
class JsonWriter {
public:
    explicit JsonWriter(Out& out) : out_(out) {}

    void key(std::string_view name) {
        out_ += first_ ? "\"" : ",\"";
        first_ = false;
        out_ += name;  // field names need no escaping
        out_ += "\":";
    }
    void beginObject() {
        out_ += '{';
        first_ = true;
    }
    void endObject() {
        out_ += '}';
        first_ = false;
    }
    void string(std::string_view key, std::string_view value) {
        this->key(key);
        quoted(value);
    }
    void integer(std::string_view key, std::int64_t value) {
        this->key(key);
        char buffer[24];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        out_.append(buffer, result.ptr);
    }
    void boolean(std::string_view key, bool value) {
        this->key(key);
        out_ += value ? "true" : "false";
    }
    void date(std::string_view key, Date value) {
        this->key(key);
        // formatDate()'s form, without a formatted print: two dates of every clip.
        using namespace std::chrono;
        const auto seconds = floor<std::chrono::seconds>(value);
        const auto day = floor<days>(seconds);
        const year_month_day ymd{day};
        const int year = static_cast<int>(ymd.year());
        if (year < 0 || year > 9999) {
            out_ += '"';
            out_ += formatDate(value);
            out_ += '"';
            return;
        }
        const hh_mm_ss<std::chrono::seconds> time{seconds - day};
        char text[22] = "\"0000-00-00T00:00:00Z";
        const auto two = [&](int at, unsigned v) {
            text[at] = char('0' + v / 10);
            text[at + 1] = char('0' + v % 10);
        };
        two(1, unsigned(year / 100));
        two(3, unsigned(year % 100));
        two(6, unsigned(ymd.month()));
        two(9, unsigned(ymd.day()));
        two(12, unsigned(time.hours().count()));
        two(15, unsigned(time.minutes().count()));
        two(18, unsigned(time.seconds().count()));
        out_.append(text, sizeof text - 1);
        out_ += '"';
    }
    void data(std::string_view key, const Bytes& value) {
        this->key(key);
        out_ += '"';
        out_.base64(value);
        out_ += '"';
    }
    void strings(std::string_view key, const std::vector<std::string>& values) {
        this->key(key);
        out_ += '[';
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i > 0) out_ += ',';
            quoted(values[i]);
        }
        out_ += ']';
    }
    template <typename Optional, typename Write>
    void optional(std::string_view key, const Optional& value, Write write) {
        if (value) (this->*write)(key, *value);
    }

    void quoted(std::string_view s) {
        out_ += '"';
        const char* const begin = s.data();
        const char* const end = begin + s.size();
        const char* p = begin;
        while (p < end) {
            // The longest run that needs no attention goes in one copy.
            const char* run = p;
#if defined(__SSE2__)
            // Sixteen at a time: a signed compare below 0x20 also catches every byte from 0x80 on.
            const __m128i space = _mm_set1_epi8(0x20), quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
            while (end - run >= 16) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(run));
                const __m128i odd = _mm_or_si128(_mm_cmplt_epi8(v, space),
                                                 _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
                if (_mm_movemask_epi8(odd) != 0) break;
                run += 16;
            }
#endif
            while (end - run >= 8) {
                std::uint64_t word;
                std::memcpy(&word, run, 8);
                if (!allPlain(word)) break;
                run += 8;
            }
            while (run < end && kEscapes.length[static_cast<unsigned char>(*run)] == 1) ++run;
            out_.append(p, run);
            p = run;
            if (p >= end) break;
            if (static_cast<unsigned char>(*p) >= 0x80) {
                const std::size_t at = std::size_t(p - begin);
                const std::size_t len = validSequenceLength(s, at);
                if (len > 0) {
                    out_.append(p, len);
                    p += len;
                } else {
                    out_ += "\xEF\xBF\xBD";
                    p += illFormedLength(s, at);
                }
                continue;
            }
            // A run of ASCII that holds escapes (control-heavy text is mostly that).
            const char* ascii = p;
            while (ascii < end && static_cast<unsigned char>(*ascii) < 0x80) ++ascii;
            out_.escapedAscii(reinterpret_cast<const unsigned char*>(p), reinterpret_cast<const unsigned char*>(ascii));
            p = ascii;
        }
        out_ += '"';
    }

private:
    // Well-formed UTF-8 per the Unicode table (no overlongs, surrogates or values past U+10FFFF).
    static bool continuationInRange(std::string_view s, std::size_t pos, unsigned lo, unsigned hi) {
        if (pos >= s.size()) return false;
        const auto b = static_cast<unsigned char>(s[pos]);
        return b >= lo && b <= hi;
    }
    static void secondByteRange(unsigned char lead, unsigned& lo, unsigned& hi) {
        lo = 0x80;
        hi = 0xBF;
        if (lead == 0xE0) lo = 0xA0;
        else if (lead == 0xED) hi = 0x9F;
        else if (lead == 0xF0) lo = 0x90;
        else if (lead == 0xF4) hi = 0x8F;
    }
    static std::size_t expectedLength(unsigned char lead) {
        if (lead >= 0xC2 && lead <= 0xDF) return 2;
        if (lead >= 0xE0 && lead <= 0xEF) return 3;
        if (lead >= 0xF0 && lead <= 0xF4) return 4;
        return 0;
    }
    static std::size_t validSequenceLength(std::string_view s, std::size_t pos) {
        return illFormedOrValid(s, pos, true);
    }
    static std::size_t illFormedLength(std::string_view s, std::size_t pos) {
        return illFormedOrValid(s, pos, false);
    }
    // With `wantValid`: the sequence's length when it is well formed, else 0. Without: the length
    // of the maximal prefix of a well-formed sequence (at least 1), which one U+FFFD replaces.
    static std::size_t illFormedOrValid(std::string_view s, std::size_t pos, bool wantValid) {
        const auto lead = static_cast<unsigned char>(s[pos]);
        const std::size_t length = expectedLength(lead);
        if (length == 0) return wantValid ? 0 : 1;
        unsigned lo = 0, hi = 0;
        secondByteRange(lead, lo, hi);
        std::size_t good = 1;
        if (continuationInRange(s, pos + 1, lo, hi)) {
            ++good;
            while (good < length && continuationInRange(s, pos + good, 0x80, 0xBF)) ++good;
        }
        if (wantValid) return good == length ? length : 0;
        return good;
    }

    Out& out_;
    bool first_ = true;
};

template <typename Out>
void encodeItem(JsonWriter<Out>& w, const ClipItem& item) {
    w.beginObject();
    w.string("id", item.id.uppercaseString());
    w.date("createdAt", item.createdAt);
    w.date("updatedAt", item.updatedAt);
    w.optional("lastReplayedAt", item.lastReplayedAt, &JsonWriter<Out>::date);
    w.string("kind", clipkind::rawValue(item.kind));
    w.string("title", item.title);
    w.string("text", item.text);
    w.string("searchableText", item.searchableText);
    w.string("sourceAppName", item.sourceAppName);
    w.optional("sourceBundleID", item.sourceBundleID, &JsonWriter<Out>::string);
    w.optional("sourceDeviceID", item.sourceDeviceID, &JsonWriter<Out>::string);
    w.optional("sourceDeviceName", item.sourceDeviceName, &JsonWriter<Out>::string);
    w.optional("sourceDevicePlatform", item.sourceDevicePlatform, &JsonWriter<Out>::string);
    w.optional("payloadFilename", item.payloadFilename, &JsonWriter<Out>::string);
    w.optional("payloadContentType", item.payloadContentType, &JsonWriter<Out>::string);
    w.optional("syncPayloadFilename", item.syncPayloadFilename, &JsonWriter<Out>::string);
    w.optional("syncPayloadDigest", item.syncPayloadDigest, &JsonWriter<Out>::string);
    w.optional("syncPayloadByteCount", item.syncPayloadByteCount, &JsonWriter<Out>::integer);
    w.optional("syncPayloadPixelWidth", item.syncPayloadPixelWidth, &JsonWriter<Out>::integer);
    w.optional("syncPayloadPixelHeight", item.syncPayloadPixelHeight, &JsonWriter<Out>::integer);
    w.optional("syncBlobKey", item.syncBlobKey, &JsonWriter<Out>::string);
    w.strings("fileURLs", item.fileURLs);
    w.optional("richTextData", item.richTextData, &JsonWriter<Out>::data);
    w.optional("htmlData", item.htmlData, &JsonWriter<Out>::data);
    w.boolean("isPinned", item.isPinned);
    w.string("fingerprint", item.fingerprint.str());
    w.optional("importedFrom", item.importedFrom, &JsonWriter<Out>::string);
    w.boolean("isSensitive", item.isSensitive);
    w.optional("legacyPayloadFilename", item.legacyPayloadFilename, &JsonWriter<Out>::string);
    w.optional("legacyID", item.legacyID, &JsonWriter<Out>::integer);
    w.integer("copyCount", item.copyCount);
    w.endObject();
}

// A guess at a clip's encoded size from its largest fields, without looking at its bytes.
std::size_t roughSize(const ClipItem& item) {
    std::size_t bytes = 640 + item.title.size() + item.text.size() + item.searchableText.size();
    for (const auto* data : {&item.richTextData, &item.htmlData})
        if (*data) bytes += (*data)->size() / 3 * 4 + 4;
    return bytes;
}

// Runs of clips encoded on a few threads at once, each into a buffer of its own, and handed on
// in order. Only a few runs wait at a time, and a clip too large for a run of its own is
// encoded in order by the caller, a piece at a time, so memory stays bounded.
class ParallelItems {
public:
    static constexpr std::size_t kRunBytes = std::size_t{1} << 21;

    ParallelItems(const ClipList& items, std::size_t threads) : items_(items) {
        std::size_t from = 0;
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < items.size(); ++i) {
            const std::size_t size = roughSize(items[i]);
            if (size >= kRunBytes) {  // alone, encoded by the caller
                if (from < i) runs_.push_back({from, i, false});
                runs_.push_back({i, i + 1, true});
                from = i + 1;
                bytes = 0;
                continue;
            }
            bytes += size;
            if (bytes >= kRunBytes) {
                runs_.push_back({from, i + 1, false});
                from = i + 1;
                bytes = 0;
            }
        }
        if (from < items.size()) runs_.push_back({from, items.size(), false});
        slots_.resize(threads * 2);
        for (std::size_t i = 0; i < threads; ++i) helpers_.emplace_back([this] { help(); });
    }
    ~ParallelItems() {
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
        }
        changed_.notify_all();
        for (auto& helper : helpers_) helper.join();
    }

    // Hands every clip to `out`, commas between them, in order.
    template <typename Out>
    void write(Out& out, JsonWriter<Out>& w) {
        for (std::size_t k = 0; k < runs_.size(); ++k) {
            if (k > 0) out += ',';
            if (runs_[k].inline_) {
                encodeItem(w, items_[runs_[k].from]);
            } else {
                Slot& slot = slots_[k % slots_.size()];
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return slot.run == k || failure_; });
                if (failure_) std::rethrow_exception(failure_);
                lock.unlock();
                out.append(slot.bytes.data(), slot.bytes.size());
                lock.lock();
                slot.run = kNone;
            }
            std::lock_guard lock(mutex_);
            handedOn_ = k + 1;
            changed_.notify_all();
        }
    }

private:
    static constexpr std::size_t kNone = std::size_t(-1);
    struct Run {
        std::size_t from, to;
        bool inline_;
    };
    struct Slot {
        std::string bytes;
        std::size_t run = kNone;  // whose bytes it holds, once whole
    };

    void help() {
        for (;;) {
            std::size_t k = 0;
            {
                std::unique_lock lock(mutex_);
                while (next_ < runs_.size() && runs_[next_].inline_) ++next_;
                if (ended_ || failure_ || next_ >= runs_.size()) return;
                k = next_++;
                // A slot is free once the run it held was handed on.
                changed_.wait(lock, [&] { return ended_ || k < handedOn_ + slots_.size(); });
                if (ended_) return;
            }
            Slot& slot = slots_[k % slots_.size()];
            try {
                slot.bytes.clear();
                const ChunkSink into = [&](std::string_view piece) {
                    slot.bytes.append(piece);
                    return true;
                };
                Chunked out(std::size_t{1} << 16, into);
                JsonWriter<Chunked> w(out);
                for (std::size_t i = runs_[k].from; i < runs_[k].to; ++i) {
                    if (i > runs_[k].from) out += ',';
                    encodeItem(w, items_[i]);
                }
                out.finish();
            } catch (...) {
                std::lock_guard lock(mutex_);
                if (!failure_) failure_ = std::current_exception();
                changed_.notify_all();
                return;
            }
            std::lock_guard lock(mutex_);
            slot.run = k;
            changed_.notify_all();
        }
    }

    const ClipList& items_;
    std::vector<Run> runs_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;
    std::size_t handedOn_ = 0;
    bool ended_ = false;
    std::exception_ptr failure_;
    std::vector<std::thread> helpers_;
};

// Below this many clips one thread encodes as fast as several start.
constexpr std::size_t kParallelFromItems = 4096;

}  // namespace

void encode(const PersistedHistory& history, const ChunkSink& sink, std::size_t chunkBytes, std::size_t threads) {
    Chunked out(std::max<std::size_t>(chunkBytes, 64), sink);
    JsonWriter<Chunked> w(out);
    w.beginObject();
    w.integer("version", history.version);
    w.key("items");
    out += '[';
    if (threads == 0) threads = history.items.size() >= kParallelFromItems ? usefulThreads(3) : 1;
    if (threads > 1) {
        ParallelItems(history.items, threads).write(out, w);
    } else {
        for (std::size_t i = 0; i < history.items.size(); ++i) {
            if (i > 0) out += ',';
            encodeItem(w, history.items[i]);
        }
    }
    out += ']';
    w.endObject();
    out.finish();
}

std::string encode(const PersistedHistory& history) {
    std::string out;
    encode(history, [&](std::string_view piece) {
        out.append(piece);
        return true;
    });
    return out;
}

std::uint64_t encodedSize(const ClipItem& item) {
    ByteCount count;
    JsonWriter<ByteCount> w(count);
    encodeItem(w, item);
    return count.bytes;
}

std::uint64_t encodedSize(std::int64_t version, std::size_t itemCount, std::uint64_t itemBytes) {
    ByteCount count;
    JsonWriter<ByteCount> w(count);
    w.beginObject();
    w.integer("version", version);
    w.key("items");
    return count.bytes + 3 + itemBytes + (itemCount > 0 ? itemCount - 1 : 0);  // "[", "]}" and the commas
}

}  // namespace harbelle::historycodec
