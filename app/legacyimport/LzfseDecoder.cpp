#include "legacyimport/LzfseDecoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace harbelle {
namespace {

constexpr std::size_t kMaxInputBytes = std::size_t{128} << 20;
constexpr std::uint64_t kOutputLimit = std::uint64_t{512} << 20;  // totals of this or more are refused

constexpr std::uint32_t magicOf(char kind) {
    return std::uint32_t{'b'} | std::uint32_t{'v'} << 8 | std::uint32_t{'x'} << 16 |
           std::uint32_t(std::uint8_t(kind)) << 24;
}
constexpr std::uint32_t kEndMagic = magicOf('$');
constexpr std::uint32_t kRawMagic = magicOf('-');
constexpr std::uint32_t kLzvnMagic = magicOf('n');
constexpr std::uint32_t kFseV1Magic = magicOf('1');
constexpr std::uint32_t kFseV2Magic = magicOf('2');

// The v1 header is a C struct of 770 bytes of fields padded to a multiple of 4.
constexpr std::size_t kV1HeaderBytes = 772;
constexpr std::size_t kV2FixedHeaderBytes = 32;

constexpr int kLSymbols = 20, kMSymbols = 20, kDSymbols = 64, kLiteralSymbols = 256;
constexpr int kLStates = 64, kMStates = 64, kDStates = 256, kLiteralStates = 1024;
constexpr int kFreqCount = kLSymbols + kMSymbols + kDSymbols + kLiteralSymbols;
constexpr std::uint32_t kMaxLiterals = 40000;
// The encoder closes a block at this many matches; a larger count is a lie.
constexpr std::uint32_t kMaxMatches = 10000;
// The most one FSE triple can produce: a literal run of 315 and a match of 2359 bytes.
constexpr std::uint64_t kMaxTripleBytes = 315 + 2359;
// The most one LZVN byte can produce: a 2-byte long match of 271 bytes.
constexpr std::uint64_t kMaxLzvnBytesPerByte = 136;
// Room past the literals for the 4-at-a-time decode and for 16-byte copies that read ahead.
constexpr std::size_t kLiteralSlack = 64;
// Copies may write up to this many bytes past their end while inside the output buffer.
constexpr std::size_t kCopySlack = 16;

std::uint32_t load32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

std::uint16_t load16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}

// n < 64
inline std::uint64_t lowBits(std::uint64_t v, unsigned n) {
    return v & ((std::uint64_t{1} << n) - 1);
}

// ---- Block headers ----

enum class BlockKind { end, raw, lzvn, fseV1, fseV2 };

struct BlockExtent {
    BlockKind kind = BlockKind::end;
    std::uint32_t rawBytes = 0;
    std::size_t totalBytes = 0;  // header and payload
};

// Reads one block header at `pos`; fails when the magic is unknown or the block ends past the input.
bool readBlockExtent(std::span<const std::uint8_t> in, std::size_t pos, BlockExtent& out) {
    const std::size_t left = in.size() - pos;
    const std::uint8_t* p = in.data() + pos;
    if (left < 4) return false;
    const std::uint32_t magic = load32(p);
    std::uint64_t total = 0;
    if (magic == kEndMagic) {
        out = {BlockKind::end, 0, 4};
        return true;
    } else if (magic == kRawMagic) {
        if (left < 8) return false;
        out.kind = BlockKind::raw;
        out.rawBytes = load32(p + 4);
        total = 8 + std::uint64_t{out.rawBytes};
    } else if (magic == kLzvnMagic) {
        if (left < 12) return false;
        out.kind = BlockKind::lzvn;
        out.rawBytes = load32(p + 4);
        total = 12 + std::uint64_t{load32(p + 8)};
    } else if (magic == kFseV1Magic) {
        if (left < kV1HeaderBytes) return false;
        out.kind = BlockKind::fseV1;
        out.rawBytes = load32(p + 4);
        total = kV1HeaderBytes + std::uint64_t{load32(p + 20)} + load32(p + 24);
    } else if (magic == kFseV2Magic) {
        if (left < kV2FixedHeaderBytes) return false;
        out.kind = BlockKind::fseV2;
        out.rawBytes = load32(p + 4);
        const std::uint64_t f0 = load64(p + 8), f1 = load64(p + 16), f2 = load64(p + 24);
        const std::uint64_t headerBytes = f2 & 0xffffffffu;
        if (headerBytes < kV2FixedHeaderBytes) return false;
        total = headerBytes + ((f0 >> 20) & 0xfffff) + ((f1 >> 40) & 0xfffff);
    } else {
        return false;
    }
    if (total > left) return false;
    out.totalBytes = std::size_t(total);
    return true;
}

// ---- FSE ----

struct FseHeader {
    std::uint32_t rawBytes = 0, literalCount = 0, matchCount = 0;
    std::uint32_t literalPayloadBytes = 0, lmdPayloadBytes = 0;
    int literalBits = 0, lmdBits = 0;
    std::array<std::uint16_t, 4> literalState{};
    std::uint16_t lState = 0, mState = 0, dState = 0;
    std::array<std::uint16_t, kFreqCount> freq{};  // L, M, D, then literal frequencies
    std::size_t headerBytes = 0;
};

// Frequencies in a v2 header: a prefix code of 2, 3, 5, 8 or 14 bits per value, low bits first.
int decodeFreqValue(std::uint32_t bits, int& nbits) {
    static constexpr std::int8_t kBits[16] = {2, 3, 2, 5, 2, 3, 2, 8, 2, 3, 2, 5, 2, 3, 2, 14};
    static constexpr std::int8_t kValue[32] = {0, 2, 1, 4, 0, 3, 1, -1, 0, 2, 1, 5, 0, 3, 1, -1,
                                               0, 2, 1, 6, 0, 3, 1, -1, 0, 2, 1, 7, 0, 3, 1, -1};
    nbits = kBits[bits & 15];
    if (nbits == 8) return 8 + int((bits >> 4) & 0xf);
    if (nbits == 14) return 24 + int((bits >> 4) & 0x3ff);
    return kValue[bits & 31];
}

bool parseV2Header(const std::uint8_t* p, FseHeader& h) {
    const std::uint64_t f0 = load64(p + 8), f1 = load64(p + 16), f2 = load64(p + 24);
    h.rawBytes = load32(p + 4);
    h.literalCount = std::uint32_t(f0 & 0xfffff);
    h.literalPayloadBytes = std::uint32_t((f0 >> 20) & 0xfffff);
    h.matchCount = std::uint32_t((f0 >> 40) & 0xfffff);
    h.literalBits = int((f0 >> 60) & 7) - 7;
    for (int i = 0; i < 4; ++i) h.literalState[i] = std::uint16_t((f1 >> (10 * i)) & 0x3ff);
    h.lmdPayloadBytes = std::uint32_t((f1 >> 40) & 0xfffff);
    h.lmdBits = int((f1 >> 60) & 7) - 7;
    h.headerBytes = std::size_t(f2 & 0xffffffffu);
    h.lState = std::uint16_t((f2 >> 32) & 0x3ff);
    h.mState = std::uint16_t((f2 >> 42) & 0x3ff);
    h.dState = std::uint16_t((f2 >> 52) & 0x3ff);

    const std::uint8_t* src = p + kV2FixedHeaderBytes;
    const std::uint8_t* const end = p + h.headerBytes;
    if (src == end) return true;  // tables left out: all frequencies zero
    std::uint32_t accum = 0;
    int accumBits = 0;
    for (int i = 0; i < kFreqCount; ++i) {
        while (src < end && accumBits + 8 <= 32) {
            accum |= std::uint32_t(*src++) << accumBits;
            accumBits += 8;
        }
        int nbits = 0;
        const int value = decodeFreqValue(accum, nbits);
        if (nbits > accumBits) return false;
        h.freq[i] = std::uint16_t(value);
        accum >>= nbits;
        accumBits -= nbits;
    }
    // The tables must fill the header exactly, up to the last partial byte.
    return accumBits < 8 && src == end;
}

void parseV1Header(const std::uint8_t* p, FseHeader& h) {
    h.rawBytes = load32(p + 4);
    h.literalCount = load32(p + 12);
    h.matchCount = load32(p + 16);
    h.literalPayloadBytes = load32(p + 20);
    h.lmdPayloadBytes = load32(p + 24);
    h.literalBits = std::int32_t(load32(p + 28));
    for (int i = 0; i < 4; ++i) h.literalState[i] = load16(p + 32 + 2 * i);
    h.lmdBits = std::int32_t(load32(p + 40));
    h.lState = load16(p + 44);
    h.mState = load16(p + 46);
    h.dState = load16(p + 48);
    for (int i = 0; i < kFreqCount; ++i) h.freq[i] = load16(p + 50 + 2 * i);
    h.headerBytes = kV1HeaderBytes;
}

// Reads an FSE bit stream backwards from the end of its payload. Refills take whole bytes and
// may reach into the bytes before the payload (the encoder relies on that near a stream's
// start); those bits are never consumed by a valid stream, and no read leaves the input.
struct BitReader {
    std::uint64_t accum = 0;
    int bits = 0;
    const std::uint8_t* pos = nullptr;
    const std::uint8_t* begin = nullptr;  // the input's first byte
    const std::uint8_t* inputEnd = nullptr;

    bool init(int extraBits, const std::uint8_t* payloadEnd, std::span<const std::uint8_t> input) {
        begin = input.data();
        inputEnd = input.data() + input.size();
        pos = payloadEnd;
        if (extraBits < -8 || extraBits > 0) return false;
        const int bytes = extraBits == 0 ? 7 : 8;
        if (pos - begin < bytes) return false;
        pos -= bytes;
        accum = 0;
        for (int i = bytes - 1; i >= 0; --i) accum = accum << 8 | pos[i];
        bits = extraBits + bytes * 8;
        // The encoder leaves the bits above the stream's start zero.
        return (accum >> bits) == 0;
    }

    // Refills to at least 56 bits; fails rather than read before the input.
    bool refill() {
        const int addBits = (63 - bits) & ~7;
        const int addBytes = addBits >> 3;
        if (pos - begin < addBytes) return false;
        pos -= addBytes;
        std::uint64_t incoming;
        if (inputEnd - pos >= 8) {
            incoming = load64(pos);
        } else {
            incoming = 0;
            for (int i = addBytes - 1; i >= 0; --i) incoming = incoming << 8 | pos[i];
        }
        accum = (accum << addBits) | lowBits(incoming, unsigned(addBits));
        bits += addBits;
        return true;
    }

    // Bits of accum above `bits` are stale; each pull masks them off.
    std::uint64_t pull(unsigned n) {
        bits -= int(n);
        return lowBits(accum >> bits, n);
    }
};

struct LiteralEntry {
    std::int16_t delta;
    std::uint8_t symbol;
    std::uint8_t bits;
};

struct ValueEntry {
    std::uint8_t totalBits;
    std::uint8_t valueBits;
    std::int16_t delta;
    std::int32_t base;
};

bool frequenciesFit(const std::uint16_t* freq, int symbols, int states) {
    int sum = 0;
    for (int i = 0; i < symbols; ++i) sum += freq[i];
    return sum <= states;
}

// Spreads each symbol over `freq` consecutive states; a state reads k or k-1 more bits next.
template <typename Emit>
void spreadStates(const std::uint16_t* freq, int symbols, int states, Emit emit) {
    const int statesClz = std::countl_zero(std::uint32_t(states));
    int state = 0;
    for (int s = 0; s < symbols; ++s) {
        const int f = freq[s];
        if (f == 0) continue;
        const int k = std::countl_zero(std::uint32_t(f)) - statesClz;
        const int j0 = ((2 * states) >> k) - f;
        for (int j = 0; j < f; ++j, ++state) {
            if (j < j0)
                emit(state, s, k, ((f + j) << k) - states);
            else
                emit(state, s, k - 1, (j - j0) << (k - 1));
        }
    }
}

void buildLiteralTable(const std::uint16_t* freq, LiteralEntry* table) {
    std::fill(table, table + kLiteralStates, LiteralEntry{0, 0, 0});
    spreadStates(freq, kLiteralSymbols, kLiteralStates, [&](int state, int symbol, int k, int delta) {
        table[state] = {std::int16_t(delta), std::uint8_t(symbol), std::uint8_t(k)};
    });
}

void buildValueTable(const std::uint16_t* freq, int symbols, int states, const std::uint8_t* extraBits,
                     const std::int32_t* base, ValueEntry* table) {
    std::fill(table, table + states, ValueEntry{0, 0, 0, 0});
    spreadStates(freq, symbols, states, [&](int state, int symbol, int k, int delta) {
        table[state] = {std::uint8_t(k + extraBits[symbol]), extraBits[symbol], std::int16_t(delta),
                        base[symbol]};
    });
}

template <int N>
struct ValueCode {
    std::array<std::uint8_t, N> extraBits{};
    std::array<std::int32_t, N> base{};
};

template <int N>
constexpr ValueCode<N> makeValueCode(const std::array<std::uint8_t, N>& extraBits) {
    ValueCode<N> code;
    code.extraBits = extraBits;
    std::int32_t next = 0;
    for (int i = 0; i < N; ++i) {
        code.base[i] = next;
        next += std::int32_t{1} << extraBits[i];
    }
    return code;
}

constexpr auto kLCode = makeValueCode<kLSymbols>(
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 5, 8});
constexpr auto kMCode = makeValueCode<kMSymbols>(
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 5, 8, 11});
constexpr auto kDCode = makeValueCode<kDSymbols>(
    {0,  0,  0,  0,  1,  1,  1,  1,  2,  2,  2,  2,  3,  3,  3,  3,  4,  4,  4,  4,  5,  5,
     5,  5,  6,  6,  6,  6,  7,  7,  7,  7,  8,  8,  8,  8,  9,  9,  9,  9,  10, 10, 10, 10,
     11, 11, 11, 11, 12, 12, 12, 12, 13, 13, 13, 13, 14, 14, 14, 14, 15, 15, 15, 15});

// Tables and literals of one FSE block; reused across blocks.
struct FseScratch {
    LiteralEntry literalTable[kLiteralStates];
    ValueEntry lTable[kLStates];
    ValueEntry mTable[kMStates];
    ValueEntry dTable[kDStates];
    std::uint8_t literals[kMaxLiterals + kLiteralSlack];
};

inline std::uint32_t decodeValue(const ValueEntry* table, std::uint32_t& state, BitReader& in) {
    const ValueEntry e = table[state];
    const std::uint64_t bits = in.pull(e.totalBits);
    state = std::uint32_t(e.delta + std::int32_t(bits >> e.valueBits));
    return std::uint32_t(e.base) + std::uint32_t(lowBits(bits, e.valueBits));
}

// ---- Copies ----

struct Output {
    std::uint8_t* begin;  // the window: every byte written so far lies in [begin, dst)
    std::uint8_t* end;    // end of the allocation
};

// Roomy: the caller knows kCopySlack bytes past the copy lie inside the output.
template <bool Roomy>
inline void copyLiterals(const Output& out, std::uint8_t* dst, const std::uint8_t* src, std::size_t n) {
    // The source always has kCopySlack readable bytes past n (literal buffer slack or the input).
    if (Roomy || std::size_t(out.end - dst) >= n + kCopySlack) {
        for (std::size_t i = 0; i < n; i += 16) std::memcpy(dst + i, src + i, 16);
    } else {
        std::memcpy(dst, src, n);
    }
}

// Copies n bytes from `distance` back; the caller checked that the distance lies within the window.
template <bool Roomy>
inline void copyMatch(const Output& out, std::uint8_t* dst, std::size_t distance, std::size_t n) {
    const std::uint8_t* src = dst - distance;
    if (!Roomy && std::size_t(out.end - dst) < n + kCopySlack) {
        for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
        return;
    }
    if (distance >= 16) {
        for (std::size_t i = 0; i < n; i += 16) std::memcpy(dst + i, src + i, 16);
        return;
    }
    // A short distance repeats a pattern: once a few bytes are out, copy from a whole number of
    // periods back, at least 16 bytes, in chunks that do not overlap.
    const std::size_t period = distance * ((16 + distance - 1) / distance);
    const std::size_t head = std::min(n, period - distance);
    for (std::size_t i = 0; i < head; ++i) dst[i] = src[i];
    for (std::size_t i = head; i < n; i += 16) std::memcpy(dst + i, dst + i - period, 16);
}

// ---- Block decoders ----

// Literal runs, match lengths and distances: at most 54 bits per triple.
template <bool Roomy>
bool decodeLmds(const FseHeader& h, BitReader in, const Output& out, std::uint8_t* dst, const FseScratch& s) {
    std::uint32_t lState = h.lState, mState = h.mState, dState = h.dState;
    const std::uint8_t* lit = s.literals;
    const std::uint8_t* const litEnd = s.literals + h.literalCount;
    std::uint8_t* const blockEnd = dst + h.rawBytes;
    std::size_t distance = 0;  // none yet in this block
    for (std::uint32_t n = h.matchCount; n > 0; --n) {
        if (!in.refill()) return false;
        const std::size_t literalRun = decodeValue(s.lTable, lState, in);
        const std::size_t matchLength = decodeValue(s.mTable, mState, in);
        const std::size_t newDistance = decodeValue(s.dTable, dState, in);
        if (newDistance != 0) distance = newDistance;
        if (literalRun > std::size_t(litEnd - lit)) return false;
        if (literalRun + matchLength > std::size_t(blockEnd - dst)) return false;
        copyLiterals<Roomy>(out, dst, lit, literalRun);
        dst += literalRun;
        lit += literalRun;
        if (matchLength != 0) {
            if (distance == 0 || distance > std::size_t(dst - out.begin)) return false;
            copyMatch<Roomy>(out, dst, distance, matchLength);
            dst += matchLength;
        }
    }
    return dst == blockEnd;
}

bool decodeFseBlock(const std::uint8_t* block, const FseHeader& h, std::span<const std::uint8_t> input,
                    const Output& out, std::uint8_t* dst, FseScratch& s) {
    // Every triple an encoder writes produces at least one byte, and it pads the literals to a
    // multiple of 4 at most; larger counts would only let a small block spin through empty work.
    if (h.literalCount > kMaxLiterals || h.literalCount > std::uint64_t{h.rawBytes} + 3) return false;
    if (h.matchCount > h.rawBytes) return false;
    for (std::uint16_t state : h.literalState)
        if (state >= kLiteralStates) return false;
    if (h.lState >= kLStates || h.mState >= kMStates || h.dState >= kDStates) return false;
    const std::uint16_t* lFreq = h.freq.data();
    const std::uint16_t* mFreq = lFreq + kLSymbols;
    const std::uint16_t* dFreq = mFreq + kMSymbols;
    const std::uint16_t* literalFreq = dFreq + kDSymbols;
    if (!frequenciesFit(lFreq, kLSymbols, kLStates) || !frequenciesFit(mFreq, kMSymbols, kMStates) ||
        !frequenciesFit(dFreq, kDSymbols, kDStates) ||
        !frequenciesFit(literalFreq, kLiteralSymbols, kLiteralStates))
        return false;

    buildLiteralTable(literalFreq, s.literalTable);
    buildValueTable(lFreq, kLSymbols, kLStates, kLCode.extraBits.data(), kLCode.base.data(), s.lTable);
    buildValueTable(mFreq, kMSymbols, kMStates, kMCode.extraBits.data(), kMCode.base.data(), s.mTable);
    buildValueTable(dFreq, kDSymbols, kDStates, kDCode.extraBits.data(), kDCode.base.data(), s.dTable);

    const std::uint8_t* literalPayload = block + h.headerBytes;
    const std::uint8_t* lmdPayload = literalPayload + h.literalPayloadBytes;

    // Literals: four interleaved states, four symbols per refill (at most 40 bits).
    {
        BitReader in;
        if (!in.init(h.literalBits, lmdPayload, input)) return false;
        std::uint32_t st[4] = {h.literalState[0], h.literalState[1], h.literalState[2], h.literalState[3]};
        const LiteralEntry* table = s.literalTable;
        std::uint8_t* lit = s.literals;
        for (std::uint32_t i = 0; i < h.literalCount; i += 4) {
            if (!in.refill()) return false;
            for (int j = 0; j < 4; ++j) {
                const LiteralEntry e = table[st[j]];
                lit[i + j] = e.symbol;
                st[j] = std::uint32_t(e.delta + std::int32_t(in.pull(e.bits)));
            }
        }
    }

    BitReader in;
    if (!in.init(h.lmdBits, lmdPayload + h.lmdPayloadBytes, input)) return false;
    if (std::size_t(out.end - dst) >= std::size_t{h.rawBytes} + kCopySlack)
        return decodeLmds<true>(h, in, out, dst, s);
    return decodeLmds<false>(h, in, out, dst, s);
}

enum class LzvnOp : std::uint8_t { smallDistance, mediumDistance, largeDistance, previousDistance,
                                   smallMatch, largeMatch, smallLiteral, largeLiteral, nop, end, invalid };

constexpr std::array<LzvnOp, 256> makeLzvnOps() {
    std::array<LzvnOp, 256> ops{};
    for (int op = 0; op < 256; ++op) {
        LzvnOp kind;
        if (op >= 0xf0) kind = op == 0xf0 ? LzvnOp::largeMatch : LzvnOp::smallMatch;
        else if (op >= 0xe0) kind = op == 0xe0 ? LzvnOp::largeLiteral : LzvnOp::smallLiteral;
        else if ((op >= 0x70 && op < 0x80) || (op >= 0xd0 && op < 0xe0)) kind = LzvnOp::invalid;
        else if (op >= 0xa0 && op < 0xc0) kind = LzvnOp::mediumDistance;
        else if ((op & 7) == 7) kind = LzvnOp::largeDistance;
        else if ((op & 7) == 6) {
            if (op == 0x06) kind = LzvnOp::end;
            else if (op == 0x0e || op == 0x16) kind = LzvnOp::nop;
            else if (op < 0x40) kind = LzvnOp::invalid;  // a repeated distance needs literals before it
            else kind = LzvnOp::previousDistance;
        } else {
            kind = LzvnOp::smallDistance;
        }
        ops[op] = kind;
    }
    return ops;
}
constexpr auto kLzvnOps = makeLzvnOps();

bool decodeLzvnBlock(const std::uint8_t* src, const std::uint8_t* srcEnd, std::uint32_t rawBytes,
                     const Output& out, std::uint8_t* dst, const std::uint8_t* inputEnd) {
    std::uint8_t* const blockEnd = dst + rawBytes;
    std::size_t distance = 0;
    for (;;) {
        if (src >= srcEnd) return false;
        const std::size_t avail = std::size_t(srcEnd - src);
        const std::uint8_t op = src[0];
        std::size_t literalRun = 0, matchLength = 0;
        switch (kLzvnOps[op]) {
        case LzvnOp::smallDistance:
            if (avail < 2) return false;
            literalRun = op >> 6;
            matchLength = ((op >> 3) & 7) + 3;
            distance = std::size_t(op & 7) << 8 | src[1];
            src += 2;
            break;
        case LzvnOp::mediumDistance:
            if (avail < 3) return false;
            literalRun = (op >> 3) & 3;
            matchLength = (std::size_t(op & 7) << 2 | (src[1] & 3)) + 3;
            distance = std::size_t(src[1] >> 2) | std::size_t(src[2]) << 6;
            src += 3;
            break;
        case LzvnOp::largeDistance:
            if (avail < 3) return false;
            literalRun = op >> 6;
            matchLength = ((op >> 3) & 7) + 3;
            distance = std::size_t(src[1]) | std::size_t(src[2]) << 8;
            src += 3;
            break;
        case LzvnOp::previousDistance:
            literalRun = op >> 6;
            matchLength = ((op >> 3) & 7) + 3;
            src += 1;
            break;
        case LzvnOp::smallMatch:
            matchLength = op & 15;
            src += 1;
            break;
        case LzvnOp::largeMatch:
            if (avail < 2) return false;
            matchLength = std::size_t(src[1]) + 16;
            src += 2;
            break;
        case LzvnOp::smallLiteral:
            literalRun = op & 15;
            src += 1;
            break;
        case LzvnOp::largeLiteral:
            if (avail < 2) return false;
            literalRun = std::size_t(src[1]) + 16;
            src += 2;
            break;
        case LzvnOp::nop:
            src += 1;
            continue;
        case LzvnOp::end:
            // The end marker is eight bytes long.
            return avail >= 8 && dst == blockEnd;
        case LzvnOp::invalid:
            return false;
        }
        if (literalRun + matchLength > std::size_t(blockEnd - dst)) return false;
        if (literalRun != 0) {
            if (literalRun > std::size_t(srcEnd - src)) return false;
            if (std::size_t(inputEnd - src) >= literalRun + kCopySlack)
                copyLiterals<false>(out, dst, src, literalRun);
            else
                std::memcpy(dst, src, literalRun);
            dst += literalRun;
            src += literalRun;
        }
        if (matchLength != 0) {
            if (distance == 0 || distance > std::size_t(dst - out.begin)) return false;
            copyMatch<false>(out, dst, distance, matchLength);
            dst += matchLength;
        }
    }
}

// The most output a block of this kind and size can decode to.
std::uint64_t mostOutputOf(const std::uint8_t* p, const BlockExtent& block) {
    switch (block.kind) {
    case BlockKind::end:
        return 0;
    case BlockKind::raw:
        return block.rawBytes;  // the payload is the output
    case BlockKind::lzvn:
        return kMaxLzvnBytesPerByte * (block.totalBytes - 12);
    case BlockKind::fseV1:
    case BlockKind::fseV2: {
        const bool v1 = block.kind == BlockKind::fseV1;
        const std::uint64_t f0 = v1 ? 0 : load64(p + 8);
        const std::uint64_t literals = v1 ? load32(p + 12) : (f0 & 0xfffff);
        const std::uint64_t matches = v1 ? load32(p + 16) : ((f0 >> 40) & 0xfffff);
        if (literals > kMaxLiterals || matches > kMaxMatches) return 0;
        return literals + matches * kMaxTripleBytes;
    }
    }
    return 0;
}

}  // namespace

bool looksLikeLzfse(std::span<const std::uint8_t> data) {
    if (data.size() < 4 || data[0] != 'b' || data[1] != 'v' || data[2] != 'x') return false;
    const std::uint8_t k = data[3];
    return k == '-' || k == 'n' || k == '1' || k == '2' || k == '$';
}

LzfseResult decodeLzfse(std::span<const std::uint8_t> data, std::uint64_t maximumOutput) {
    if (data.size() > kMaxInputBytes) return {{}, "LZFSE input is larger than 128 MiB"};

    // First pass: the blocks' extents and the declared total, before anything is allocated.
    std::uint64_t total = 0;
    bool needsFse = false;
    for (std::size_t pos = 0;;) {
        BlockExtent block;
        if (!readBlockExtent(data, pos, block)) return {{}, "LZFSE stream is truncated or has an unknown block"};
        if (block.kind == BlockKind::end) break;
        total += block.rawBytes;
        if (total >= kOutputLimit) return {{}, "LZFSE stream declares 512 MiB or more of output"};
        if (total > maximumOutput) return {{}, "LZFSE stream declares more output than allowed"};
        // A block may claim no more than its own bytes can expand to, so a stream that lies
        // fails here, in time proportional to its length, before anything is allocated.
        if (block.rawBytes > mostOutputOf(data.data() + pos, block))
            return {{}, "LZFSE block at offset " + std::to_string(pos) + " declares more than it holds"};
        needsFse = needsFse || block.kind == BlockKind::fseV1 || block.kind == BlockKind::fseV2;
        pos += block.totalBytes;
    }

    LzfseResult result;
    try {
        // The output grows block by block as it is decoded: an FSE block that lies can still
        // claim up to 27 MB, and that must not be asked for before the blocks ahead of it
        // decoded. Text compresses about fourfold, so most streams never reallocate.
        result.bytes.reserve(std::size_t(std::min<std::uint64_t>(total + kCopySlack, 8 * std::uint64_t{data.size()} + 4096)));
        std::unique_ptr<FseScratch> scratch;
        if (needsFse) scratch = std::make_unique<FseScratch>();
        const std::uint8_t* const inputEnd = data.data() + data.size();
        std::size_t produced = 0;
        for (std::size_t pos = 0;;) {
            BlockExtent block;
            readBlockExtent(data, pos, block);  // checked in the first pass
            const std::uint8_t* p = data.data() + pos;
            if (block.kind == BlockKind::end) {
                result.bytes.resize(produced);
                return result;
            }
            // Slack past the block lets the copies run 16 bytes at a time up to its end.
            const std::size_t needed = produced + block.rawBytes + kCopySlack;
            if (needed > result.bytes.capacity()) result.bytes.reserve(std::max(needed, 2 * result.bytes.capacity()));
            result.bytes.resize(needed);
            const Output out{result.bytes.data(), result.bytes.data() + result.bytes.size()};
            std::uint8_t* dst = out.begin + produced;
            bool ok = true;
            switch (block.kind) {
            case BlockKind::end:
                break;
            case BlockKind::raw:
                if (block.rawBytes != 0) std::memcpy(dst, p + 8, block.rawBytes);
                break;
            case BlockKind::lzvn:
                ok = decodeLzvnBlock(p + 12, p + block.totalBytes, block.rawBytes, out, dst, inputEnd);
                break;
            case BlockKind::fseV1:
            case BlockKind::fseV2: {
                FseHeader header;
                if (block.kind == BlockKind::fseV1)
                    parseV1Header(p, header);
                else
                    ok = parseV2Header(p, header);
                ok = ok && decodeFseBlock(p, header, data, out, dst, *scratch);
                break;
            }
            }
            if (!ok) return {{}, "LZFSE block at offset " + std::to_string(pos) + " is corrupt"};
            produced += block.rawBytes;
            pos += block.totalBytes;
        }
    } catch (const std::bad_alloc&) {
        return {{}, "Not enough memory to decode the LZFSE stream"};
    }
}

}  // namespace harbelle
