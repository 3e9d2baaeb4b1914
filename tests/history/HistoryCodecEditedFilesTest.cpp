// History files a person or another tool edited: a byte-order mark, repeated keys, nesting at
// the limit. A file with an integer past 64 bits is read on a second path; every file must read
// the same on both, or a clip read on one path is lost on the other and its images with it.
#include <QTest>

#include <random>

#include "HistoryStoreTestSupport.h"
#include "common/JsonScan.h"
#include "platform/FileSafety.h"

using namespace harbelle;
using namespace harbelle::testing;

namespace {

constexpr std::string_view kMark = "\xEF\xBB\xBF";
constexpr std::string_view kWide = "123456789012345678901234567890";

std::string readGolden() {
    std::ifstream in(std::string(HARBELLE_TESTDATA_DIR) + "/history-golden.json", std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// What a decode gives: the clips as written back, or the error's message.
std::string outcome(std::string_view text) {
    try {
        const PersistedHistory history = historycodec::decode(text);
        return "read: " + historycodec::encode(history);
    } catch (const HistoryDecodeError& e) {
        return std::string("refused: ") + e.what();
    }
}

// `text` with a wide integer as the root object's first member, which sends it down the second
// path; nothing when the text does not start with an object that has a member.
std::optional<std::string> withWideInteger(const std::string& text) {
    std::size_t at = text.starts_with(kMark) ? kMark.size() : 0;
    at = text.find_first_not_of(" \t\r\n", at);
    if (at == std::string::npos || text[at] != '{') return std::nullopt;
    const std::size_t member = text.find_first_not_of(" \t\r\n", at + 1);
    if (member == std::string::npos || text[member] != '"') return std::nullopt;
    return text.substr(0, at + 1) + "\"wide\":" + std::string(kWide) + "," + text.substr(at + 1);
}

// The array text of the clips in `records`, for files built by hand.
std::string itemsArray(const std::vector<ClipItem>& records) {
    const std::string file = historycodec::encode({1, records});
    const std::size_t from = file.find("\"items\":") + 8;
    return file.substr(from, file.size() - 1 - from);
}

std::string nested(int levels, const std::string& innermost) {
    return std::string(levels, '[') + innermost + std::string(levels, ']');
}

// Member starts ('"' after '{' or ',') outside strings, and where each member ends.
std::vector<std::size_t> memberStarts(const std::string& text) {
    std::vector<std::size_t> starts;
    char last = 0;
    jsonscan::scan(text, 0, [&](std::size_t i, char c, int) {
        if (c == '"' && (last == '{' || last == ',')) starts.push_back(i);
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') last = c;
        return true;
    });
    return starts;
}
std::size_t memberEnd(const std::string& text, std::size_t start) {
    const std::size_t end = jsonscan::scan(text, start, [](std::size_t, char c, int depth) {
        return depth > 0 || (c != ']' && c != '}' && c != ',');
    });
    return end == std::string::npos ? text.size() : end;
}

// Edits of the kinds people and other tools make, good and bad, a few at a time.
class Mutator {
public:
    explicit Mutator(unsigned seed) : rng_(seed) {}

    std::string mutate(std::string text) {
        const int edits = pick(1, 3);
        for (int e = 0; e < edits; ++e) {
            const auto starts = memberStarts(text);
            if (starts.empty()) break;
            const std::size_t start = starts[pick(0, static_cast<int>(starts.size()) - 1)];
            const std::size_t end = memberEnd(text, start);
            const std::string member = text.substr(start, end - start);
            const std::string key = member.substr(0, member.find(':') + 1);
            switch (pick(0, 6)) {
            case 0:
            case 1: text.insert(end, "," + member); break;                   // a repeated member
            case 2: text.insert(end, "," + key + value()); break;            // repeated, another value
            case 3: text.insert(start, key + value() + ","); break;          // another value first
            case 4: text.replace(start, end - start, key + value()); break;  // a changed value
            case 5: text.erase(static_cast<std::size_t>(pick(0, static_cast<int>(text.size()) - 1)), 1); break;
            default: text.insert(start, "\"items\":" + items_ + ","); break;  // clips in a second "items"
            }
        }
        if (pick(0, 9) == 0) text.insert(0, kMark);
        return text;
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    std::string value() {
        static const std::string values[] = {
            "null", "1", "-0", "0.5", "1e400", "-99999999999999999999", "true", "\"x\"", "[]", "{}",
            "\"2026-12-07T08:00:00Z\"", "\"image\"", "\"9B2E8F3C-1D4A-4E5B-8C6D-7E8F9A0B1C2D\"",
            "[\"/tmp/a\"]", "\"Zm9v\"", nested(63, "1"), nested(64, "[]"), nested(3, "{\"a\":1}")};
        return values[pick(0, static_cast<int>(std::size(values)) - 1)];
    }

    std::mt19937 rng_;
    std::string items_ = itemsArray({ClipBuilder("other", ClipKind::image).payload("other.png")});
};

class HistoryCodecEditedFileStore : public HistoryStoreFixture {};

}  // namespace

TEST(HistoryCodecEditedFiles, AByteOrderMarkIsSkipped) {
    const std::string golden = readGolden();
    const std::string marked = std::string(kMark) + golden;
    EXPECT_EQ(historycodec::decode(marked).items, historycodec::decode(golden).items);
    EXPECT_EQ(historycodec::decode(*withWideInteger(marked)).items.size(), 3u);
    // Read in place, from a buffer with room past the end.
    std::string buffer = marked;
    buffer.reserve(marked.size() + 64);
    EXPECT_EQ(historycodec::decode(buffer, buffer.capacity() - buffer.size()).items.size(), 3u);
    // Only one, and only first.
    EXPECT_THROW(historycodec::decode(std::string(kMark) + marked), HistoryDecodeError);
    EXPECT_THROW(historycodec::decode(" " + marked), HistoryDecodeError);
}

TEST(HistoryCodecEditedFiles, RepeatedKeysReadTheSameOnBothPaths) {
    const std::string a = itemsArray({ClipBuilder("a")});
    const std::string b = itemsArray({ClipBuilder("b"), ClipBuilder("c")});
    const std::string twice = R"({"version":1,"items":)" + a + R"(,"items":)" + b + R"(,"version":2})";
    const PersistedHistory fast = historycodec::decode(twice);
    EXPECT_EQ(fast.items.size(), 3u);  // every "items" array adds its clips
    EXPECT_EQ(fast.version, 2);        // the last "version" counts
    EXPECT_EQ(outcome(*withWideInteger(twice)), outcome(twice));
    // A wide integer anywhere, even after the clips or inside one.
    std::string inside = twice;
    inside.insert(inside.find("\"copyCount\""), "\"future\":-" + std::string(kWide) + ",");
    EXPECT_EQ(outcome(inside), outcome(twice));
    // Where it stands for a field, it is out of range there.
    std::string asField = twice;
    asField.replace(asField.find("\"copyCount\":") + 12, 1, kWide);
    EXPECT_NE(outcome(asField).find("refused: item 0: key \"copyCount\""), std::string::npos) << outcome(asField);
}

TEST(HistoryCodecEditedFiles, NestingLimitCountsAlikeOnBothPathsAndInTheSettingsCheck) {
    // The root object is the first level.
    const auto file = [](int levels, const std::string& innermost) {
        return R"({"version":1,"items":[],"x":)" + nested(levels - 1, innermost) + "}";
    };
    for (const std::string innermost : {"1", "[]", "{}", "{\"a\":null}", "\"]]]\""}) {
        SCOPED_TRACE(innermost);
        for (const int levels : {63, 64, 65, 66}) {
            SCOPED_TRACE(levels);
            const int depth = levels + (innermost.starts_with('[') || innermost.starts_with('{') ? 1 : 0);
            const std::string text = file(levels, innermost);
            const bool within = depth <= filesafety::kMaximumJsonDepth;
            EXPECT_EQ(outcome(text).starts_with("read: "), within) << outcome(text);
            EXPECT_EQ(outcome(*withWideInteger(text)), outcome(text));
            EXPECT_EQ(filesafety::parseJson(text).is_discarded(), !within);
        }
    }
}

TEST(HistoryCodecEditedFiles, MutatedFilesReadTheSameOnBothPaths) {
    const std::vector<std::string> corpus = {
        readGolden(),
        historycodec::encode({1, {ClipBuilder("one").payload("one.png"), ClipBuilder("two", ClipKind::link)}}),
        R"({"version":1,"items":[]})",
    };
    int compared = 0, read = 0, readWithRepeatedItems = 0;
    for (unsigned seed = 0; seed < 1600; ++seed) {
        Mutator mutator(seed);
        const std::string text = mutator.mutate(corpus[seed % corpus.size()]);
        const auto wide = withWideInteger(text);
        if (!wide) continue;
        const std::string expected = outcome(text);
        ASSERT_EQ(outcome(*wide), expected) << "seed " << seed << ": " << text;
        ++compared;
        if (expected.starts_with("read: ")) {
            ++read;
            if (text.find("\"items\"") != text.rfind("\"items\"")) ++readWithRepeatedItems;
        }
    }
    // Enough of each kind that a difference would have shown.
    EXPECT_GT(compared, 1400);
    EXPECT_GT(read, 300);
    EXPECT_GT(readWithRepeatedItems, 50);
}

TEST_F(HistoryCodecEditedFileStore, AnEditedFileLoadsWithEveryClipAndKeepsTheirImages) {
    const ClipItem a = ClipBuilder("a", ClipKind::image).payload("a.png").at(clock.now());
    const ClipItem b = ClipBuilder("b", ClipKind::image).payload("b.png").at(clock.now());
    fs::create_directories(support());
    std::ofstream(historyFile(), std::ios::binary)
        << kMark << R"({"version":1,"items":)" << itemsArray({a}) << R"(,"future":)" << kWide
        << R"(,"items":)" << itemsArray({b}) << "}";
    for (const char* name : {"a.png", "b.png", "orphan.png"}) {
        writePayloadFile(name);  // left by an earlier run, so the orphan pass does not spare them
        fs::last_write_time(payloads() / name, fs::last_write_time(payloads() / name) - std::chrono::hours(1));
    }

    const auto store = makeStore();
    EXPECT_EQ(store->items().size(), 2u);
    // The clips had no device origin: the repair saves at once; the orphan pass goes behind it.
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    ASSERT_TRUE(waitFor(saves, 1));
    EXPECT_EQ(readHistory().size(), 2u);
    // The load succeeded and the clean-up ran.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !fs::exists(payloads() / "orphan.png"); }, 5000));
    EXPECT_TRUE(fs::exists(payloads() / "a.png"));
    EXPECT_TRUE(fs::exists(payloads() / "b.png"));
    EXPECT_FALSE(fs::exists(support() / "history.backup.json"));
    EXPECT_FALSE(store->toastMessage());
}
