#pragma once

// The text clips the benchmarks' histories are made of, and the large histories of the scale
// measurements: clips of ~1 KB of varied words, dated a minute apart.

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "history/ClipItem.h"

namespace harbelle::bench {

// The newest clip's date; older ones are dated back from it.
inline const Date kNewestClip{std::chrono::seconds(1'700'000'000)};

// A text clip as a copy on this machine is saved: titled and fingerprinted from its text, with
// its origin already set (so the start-up repair writes nothing).
inline ClipItem makeTextClip(std::string text, Date date) {
    ClipItem clip;
    clip.createdAt = date;
    clip.updatedAt = date;
    clip.text = std::move(text);
    clip.title = ClipItem::titleFor(clip.text, ClipKind::text);
    clip.sourceAppName = "Text Editor";
    clip.sourceDeviceID = "mac_bench";
    clip.sourceDeviceName = "Bench";
    clip.sourceDevicePlatform = "Linux";
    clip.fingerprint = ClipItem::makeFingerprint(ClipKind::text, clip.text, {}, std::nullopt, nullptr);
    return clip;
}

inline std::vector<ClipItem> makeScaleHistory(int count) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> length(3, 10);
    std::uniform_int_distribution<int> letter(0, 25);
    std::vector<std::string> words(4000);
    for (auto& word : words)
        for (int n = length(rng); n > 0; --n) word += static_cast<char>('a' + letter(rng));
    std::uniform_int_distribution<std::size_t> pick(0, words.size() - 1);

    std::vector<ClipItem> items;
    items.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        std::string text = std::to_string(i);
        while (text.size() < 1000) text += ' ' + words[pick(rng)];
        items.push_back(makeTextClip(std::move(text), kNewestClip - std::chrono::minutes(i)));
    }
    return items;
}

}  // namespace harbelle::bench
