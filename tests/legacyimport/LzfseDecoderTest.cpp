#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <iterator>
#include <optional>
#include <random>

#include "legacyimport/LzfseDecoder.h"
#include "support/AllocationMeter.h"

using namespace harbelle;

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::filesystem::path kCorpus = std::filesystem::path(HARBELLE_TESTDATA_DIR) / "lzfse";

// A missing corpus fails the test by name instead of letting it index an empty buffer.
Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string() + " (the shared test data sits beside the checkout)");
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> corpusNames() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(kCorpus))
        if (entry.path().extension() == ".lzfse") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

Bytes compressed(const std::string& name) { return readFile(kCorpus / (name + ".lzfse")); }
Bytes original(const std::string& name) { return readFile(kCorpus / (name + ".bin")); }

std::uint32_t get32(const Bytes& b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}
std::uint64_t get64(const Bytes& b, std::size_t at) { return get32(b, at) | std::uint64_t{get32(b, at + 4)} << 32; }
void put16(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 2; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
}
void put64(Bytes& b, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
}
std::uint64_t field(std::uint64_t word, int shift, int width) { return (word >> shift) & ((1ull << width) - 1); }

struct Block {
    std::size_t offset, size;
    std::uint32_t rawBytes;
    char kind;
};

// The stream's blocks up to and including the end marker, or nothing when a header is cut off.
std::optional<std::vector<Block>> blocksOf(const Bytes& s) {
    std::vector<Block> blocks;
    for (std::size_t pos = 0;;) {
        if (s.size() - pos < 4 || s[pos] != 'b' || s[pos + 1] != 'v' || s[pos + 2] != 'x') return {};
        const char kind = char(s[pos + 3]);
        const std::size_t left = s.size() - pos;
        std::uint64_t size = 0;
        if (kind == '$') size = 4;
        else if (kind == '-' && left >= 8) size = 8 + std::uint64_t{get32(s, pos + 4)};
        else if (kind == 'n' && left >= 12) size = 12 + std::uint64_t{get32(s, pos + 8)};
        else if (kind == '1' && left >= 772) size = 772 + std::uint64_t{get32(s, pos + 20)} + get32(s, pos + 24);
        else if (kind == '2' && left >= 32)
            size = field(get64(s, pos + 24), 0, 32) + field(get64(s, pos + 8), 20, 20) +
                   field(get64(s, pos + 16), 40, 20);
        else return {};
        if (size > left) return {};
        blocks.push_back({pos, std::size_t(size), kind == '$' ? 0 : get32(s, pos + 4), kind});
        if (kind == '$') return blocks;
        pos += size;
    }
}

std::optional<std::uint64_t> declaredTotal(const Bytes& s) {
    const auto blocks = blocksOf(s);
    if (!blocks) return {};
    std::uint64_t total = 0;
    for (const Block& b : *blocks) total += b.rawBytes;
    return total;
}

// Rewrites every v2 block of a stream in the v1 layout: the same payloads behind a header of
// plain fields and 16-bit frequencies.
Bytes withV1Headers(const Bytes& s) {
    Bytes out;
    const auto blocks = blocksOf(s);
    for (const Block& b : *blocks) {
        if (b.kind != '2') {
            out.insert(out.end(), s.begin() + b.offset, s.begin() + b.offset + b.size);
            continue;
        }
        const std::uint64_t f0 = get64(s, b.offset + 8), f1 = get64(s, b.offset + 16), f2 = get64(s, b.offset + 24);
        const std::size_t headerSize = field(f2, 0, 32);
        Bytes h(772, 0);
        std::memcpy(h.data(), "bvx1", 4);
        put32(h, 4, b.rawBytes);
        put32(h, 8, std::uint32_t(field(f0, 20, 20) + field(f1, 40, 20)));
        put32(h, 12, std::uint32_t(field(f0, 0, 20)));
        put32(h, 16, std::uint32_t(field(f0, 40, 20)));
        put32(h, 20, std::uint32_t(field(f0, 20, 20)));
        put32(h, 24, std::uint32_t(field(f1, 40, 20)));
        put32(h, 28, std::uint32_t(int(field(f0, 60, 3)) - 7));
        for (int i = 0; i < 4; ++i) put16(h, 32 + 2 * i, std::uint32_t(field(f1, 10 * i, 10)));
        put32(h, 40, std::uint32_t(int(field(f1, 60, 3)) - 7));
        put16(h, 44, std::uint32_t(field(f2, 32, 10)));
        put16(h, 46, std::uint32_t(field(f2, 42, 10)));
        put16(h, 48, std::uint32_t(field(f2, 52, 10)));
        // Frequencies: 2-bit codes for 0 and 1, 3-bit for 2 and 3, 5-bit for 4-7, then 8 and 14 bits.
        std::size_t bitPos = (b.offset + 32) * 8;
        const auto bitsAt = [&](int n) {
            std::uint32_t v = 0;
            for (int i = 0; i < n; ++i, ++bitPos) v |= std::uint32_t((s[bitPos / 8] >> (bitPos % 8)) & 1) << i;
            return v;
        };
        for (int i = 0; i < 360 && headerSize > 32; ++i) {
            std::uint32_t value;
            const std::uint32_t low2 = bitsAt(2);
            if (low2 == 0 || low2 == 2) {
                value = low2 / 2;
            } else {
                const std::uint32_t third = bitsAt(1);
                if (low2 == 1) value = 2 + third;
                else if (third == 0) value = 4 + bitsAt(2);
                else value = bitsAt(1) == 0 ? 8 + bitsAt(4) : 24 + bitsAt(10);
            }
            put16(h, 50 + 2 * i, value);
        }
        out.insert(out.end(), h.begin(), h.end());
        out.insert(out.end(), s.begin() + b.offset + headerSize, s.begin() + b.offset + b.size);
    }
    return out;
}

// One LZVN block of `raw` output bytes around the given opcodes, followed by the end marker.
Bytes lzvnBlock(std::uint32_t raw, Bytes ops) {
    ops.insert(ops.end(), {0x06, 0, 0, 0, 0, 0, 0, 0});
    Bytes b{'b', 'v', 'x', 'n', 0, 0, 0, 0, 0, 0, 0, 0};
    put32(b, 4, raw);
    put32(b, 8, std::uint32_t(ops.size()));
    b.insert(b.end(), ops.begin(), ops.end());
    return b;
}

Bytes stream(std::initializer_list<Bytes> blocks) {
    Bytes s;
    for (const Bytes& b : blocks) s.insert(s.end(), b.begin(), b.end());
    s.insert(s.end(), {'b', 'v', 'x', '$'});
    return s;
}

const Bytes kRawAbc{'b', 'v', 'x', '-', 3, 0, 0, 0, 'a', 'b', 'c'};

std::string text(const LzfseResult& r) { return r.ok() ? std::string(r.bytes.begin(), r.bytes.end()) : "error: " + r.error; }

}  // namespace

TEST(LzfseDecoder, DecodesTheCorpusByteForByte) {
    const auto names = corpusNames();
    ASSERT_GE(names.size(), 16u);
    for (const auto& name : names) {
        const Bytes in = compressed(name);
        EXPECT_TRUE(looksLikeLzfse(in)) << name;
        const LzfseResult r = decodeLzfse(in);
        ASSERT_TRUE(r.ok()) << name << ": " << r.error;
        EXPECT_TRUE(r.bytes == original(name)) << name;
    }
}

TEST(LzfseDecoder, FailsOnEveryTruncatedPrefix) {
    for (const auto& name : corpusNames()) {
        const Bytes in = compressed(name);
        for (std::size_t n = 0; n < in.size(); ++n) {
            const LzfseResult r = decodeLzfse(std::span(in.data(), n));
            ASSERT_FALSE(r.ok()) << name << " cut at " << n;
            EXPECT_TRUE(r.bytes.empty());
        }
    }
}

TEST(LzfseDecoder, IgnoresBytesAfterTheEndAndDecodesAnEmptyStream) {
    Bytes in = compressed("text-3k");
    in.insert(in.end(), {'j', 'u', 'n', 'k'});
    const LzfseResult r = decodeLzfse(in);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_TRUE(r.bytes == original("text-3k"));
    const LzfseResult empty = decodeLzfse(Bytes{'b', 'v', 'x', '$', 'b', 'v'});
    EXPECT_TRUE(empty.ok() && empty.bytes.empty());
}

TEST(LzfseDecoder, DecodesV1Headers) {
    int transcoded = 0;
    for (const auto& name : corpusNames()) {
        const Bytes in = compressed(name);
        const Bytes v1 = withV1Headers(in);
        if (v1 == in) continue;
        ++transcoded;
        const LzfseResult r = decodeLzfse(v1);
        ASSERT_TRUE(r.ok()) << name << ": " << r.error;
        EXPECT_TRUE(r.bytes == original(name)) << name;
    }
    EXPECT_GE(transcoded, 4);
}

TEST(LzfseDecoder, LooksForABlockMagicOnly) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"bvx-", true}, {"bvxn", true}, {"bvx1", true}, {"bvx2", true}, {"bvx$...", true},
        {"bvx3", false}, {"bvx", false}, {"", false}, {"bplist00", false}, {"<?xml", false}, {"BVX2", false}};
    for (const auto& [data, expected] : cases)
        EXPECT_EQ(looksLikeLzfse(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size())), expected)
            << data;
}

TEST(LzfseDecoder, MatchesReachBackAcrossBlocksButNotBeforeTheStart) {
    // One literal 'a' (0xE1), then a 3-byte match (opcode 0x00 + distance byte).
    EXPECT_EQ(text(decodeLzfse(stream({lzvnBlock(4, {0xe1, 'a', 0x00, 1})}))), "aaaa");
    EXPECT_FALSE(decodeLzfse(stream({lzvnBlock(4, {0xe1, 'a', 0x00, 2})})).ok());
    EXPECT_EQ(text(decodeLzfse(stream({kRawAbc, lzvnBlock(3, {0x00, 3})}))), "abcabc");
    EXPECT_FALSE(decodeLzfse(stream({kRawAbc, lzvnBlock(3, {0x00, 4})})).ok());
    EXPECT_FALSE(decodeLzfse(stream({lzvnBlock(3, {0x00, 1})})).ok());
}

TEST(LzfseDecoder, RefusesCorruptBlocks) {
    const auto withRawSize = [](std::string name, int delta, bool v1 = false) {
        Bytes s = compressed(name);
        if (v1) s = withV1Headers(s);
        put32(s, 4, std::uint32_t(int(get32(s, 4)) + delta));
        return s;
    };
    // Four literals fewer than the block's literal runs take.
    Bytes literalOverrun = compressed("len-4096");
    ASSERT_EQ(literalOverrun[3], '2');
    const std::uint64_t f0 = get64(literalOverrun, 8);
    put64(literalOverrun, 8, f0 - 4);
    ASSERT_EQ(field(f0, 0, 20) % 4, 0u);

    // A v2 header without tables (all triples decode as empty) that promises 2^20 - 1 of them.
    Bytes emptyTriples{'b', 'v', 'x', '2'};
    emptyTriples.resize(32);
    put64(emptyTriples, 8, 0xfffffull << 40 | 7ull << 60);
    put64(emptyTriples, 16, 7ull << 60);
    put64(emptyTriples, 24, 32);
    Bytes emptyBlock = emptyTriples;
    put64(emptyBlock, 8, 7ull << 60);
    EXPECT_TRUE(decodeLzfse(stream({emptyBlock})).ok());
    emptyTriples = stream({emptyTriples});
    Bytes emptyLiterals = emptyBlock;
    put64(emptyLiterals, 8, 40000ull | 7ull << 60);
    emptyLiterals = stream({emptyLiterals});

    const std::vector<std::pair<std::string, Bytes>> cases = {
        {"raw block one byte longer", withRawSize("tiny", 1)},
        {"raw block one byte shorter", withRawSize("tiny", -1)},
        {"LZVN block one byte longer", withRawSize("short-text", 1)},
        {"LZVN block one byte shorter", withRawSize("short-text", -1)},
        {"v2 block one byte longer", withRawSize("len-4096", 1)},
        {"v2 block one byte shorter", withRawSize("len-4096", -1)},
        {"v1 block one byte longer", withRawSize("len-4096", 1, true)},
        {"v1 block one byte shorter", withRawSize("len-4096", -1, true)},
        {"literal overrun in a v2 block", literalOverrun},
        {"LZVN literals past the payload", stream({lzvnBlock(5, {0xe5, 'a', 'b'})})},
        {"LZVN undefined opcode", stream({lzvnBlock(1, {0x1e, 'a'})})},
        {"a million empty triples in an empty block", emptyTriples},
        {"40,000 literals in an empty block", emptyLiterals},
        {"unknown block magic", stream({{'b', 'v', 'x', '3', 0, 0, 0, 0}})},
        {"no end marker", Bytes(kRawAbc)},
        {"a declared total of 512 MiB", stream({lzvnBlock(512u << 20, {})})},
        {"two blocks of 256 MiB", stream({lzvnBlock(256u << 20, {}), lzvnBlock(256u << 20, {})})},
    };
    for (const auto& [what, in] : cases) {
        const LzfseResult r = decodeLzfse(in);
        EXPECT_FALSE(r.ok()) << what;
        EXPECT_TRUE(r.bytes.empty()) << what;
    }
    EXPECT_NE(decodeLzfse(stream({lzvnBlock(512u << 20, {})})).error.find("512 MiB"), std::string::npos);
}

// A declared size is held against what the block's bytes can expand to: a lie costs nothing.
TEST(LzfseDecoder, ALyingStreamFailsWithoutAllocatingItsClaim) {
    // LZVN header claiming 0x1FFFFFFF bytes from one byte of payload, an undefined opcode.
    const Bytes lie{'b', 'v', 'x', 'n', 0xff, 0xff, 0xff, 0x1f, 1, 0, 0, 0, 0x1e, 'b', 'v', 'x', '$'};
    ASSERT_EQ(lie.size(), 17u);
    // An FSE block whose header claims 10,000 triples in a block of 32 bytes: at most 26.7 MB.
    Bytes fse{'b', 'v', 'x', '2'};
    fse.resize(32);
    put32(fse, 4, 400u << 20);
    put64(fse, 8, 10000ull << 40 | 7ull << 60);
    put64(fse, 16, 7ull << 60);
    put64(fse, 24, 32);
    const Bytes fseLie = stream({fse});
    // Forty honest blocks, then one that lies: the output grows only with what decodes.
    Bytes many;
    for (int i = 0; i < 40; ++i) many.insert(many.end(), kRawAbc.begin(), kRawAbc.end());
    const Bytes lateLie = stream({many, lzvnBlock(0x1FFFFFFF, {0x1e})});
    for (const Bytes* in : {&lie, &fseLie, &lateLie}) {
        harbelle::testing::AllocationMeter meter;
        const LzfseResult r = decodeLzfse(*in);
        EXPECT_FALSE(r.ok());
        EXPECT_LT(meter.totalBytes(), std::size_t{1} << 20);
    }
    // An honest stream still decodes with one allocation near its size.
    const Bytes text = compressed("text-3m");
    std::size_t peak = 0;
    LzfseResult r;
    {
        harbelle::testing::AllocationMeter meter;
        r = decodeLzfse(text);
        peak = meter.peakBytes();
    }
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.bytes, original("text-3m"));
    EXPECT_LT(peak, r.bytes.size() + (std::size_t{1} << 20));
}

TEST(LzfseDecoder, RefusesInputOver128MiB) {
    Bytes big((std::size_t{128} << 20) + 1, 0);
    std::memcpy(big.data(), "bvx$", 4);
    EXPECT_FALSE(decodeLzfse(big).ok());
    big.pop_back();
    EXPECT_TRUE(decodeLzfse(big).ok());
}

// Seeded mutations of the corpus: no crash, no read outside the input (run it under ASan), and any
// success gives exactly the declared size. HARBELLE_LZFSE_FUZZ_ITERATIONS overrides the count.
TEST(LzfseDecoder, SurvivesMutatedStreams) {
    std::vector<Bytes> seeds;
    Bytes mixed;  // several block kinds in one stream, later matches reaching into earlier blocks
    for (const auto& name : corpusNames()) {
        Bytes s = compressed(name);
        if (s.size() > 100'000) continue;
        seeds.push_back(s);
        if (s.size() < 3000) mixed.insert(mixed.end(), s.begin(), s.end() - 4);
    }
    seeds.push_back(stream({mixed}));
    for (std::size_t i = 0, n = seeds.size(); i < n; ++i) seeds.push_back(withV1Headers(seeds[i]));

    const char* env = std::getenv("HARBELLE_LZFSE_FUZZ_ITERATIONS");
    const int iterations = env ? std::atoi(env) : 20000;
    std::mt19937 rng(20261207);
    const auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    int successes = 0;
    for (int iteration = 0; iteration < iterations; ++iteration) {
        Bytes s = seeds[pick(seeds.size())];
        // Headers hold most of the decisions: aim a third of the edits at the first 64 bytes of a block.
        const auto blocks = blocksOf(s);
        for (int edits = 1 + int(pick(4)); edits > 0 && !s.empty(); --edits) {
            std::size_t at = pick(s.size());
            if (blocks && pick(3) == 0) at = std::min(s.size() - 1, (*blocks)[pick(blocks->size())].offset + pick(64));
            switch (pick(6)) {
            case 0: s[at] ^= std::uint8_t(1u << pick(8)); break;
            case 1: s[at] = std::uint8_t(rng()); break;
            case 2: if (at + 4 <= s.size()) put32(s, at, std::uint32_t(rng()) >> pick(32)); break;
            case 3: s.resize(at); break;
            case 4: s.erase(s.begin() + at, s.begin() + std::min(s.size(), at + 1 + pick(16))); break;
            case 5: s.insert(s.begin() + at, 1 + pick(8), std::uint8_t(rng())); break;
            }
        }
        const LzfseResult r = decodeLzfse(s);
        if (!r.ok()) {
            ASSERT_TRUE(r.bytes.empty()) << "iteration " << iteration;
            continue;
        }
        ++successes;
        const auto total = declaredTotal(s);
        ASSERT_TRUE(total.has_value()) << "iteration " << iteration;
        ASSERT_EQ(r.bytes.size(), *total) << "iteration " << iteration;
    }
    RecordProperty("successes", successes);
}
