#pragma once

// The large histories of the scale measurements: text clips of ~1 KB of varied words, dated a
// minute apart, with their origin already set (so the start-up repair writes nothing).

#include <random>
#include <string>
#include <vector>

#include "history/ClipItem.h"

namespace harbelle::bench {

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
        ClipItem clip;
        clip.createdAt = Date(std::chrono::seconds(1'700'000'000 - static_cast<std::int64_t>(i) * 60));
        clip.updatedAt = clip.createdAt;
        clip.text = std::to_string(i);
        while (clip.text.size() < 1000) clip.text += ' ' + words[pick(rng)];
        clip.title = ClipItem::titleFor(clip.text, ClipKind::text);
        clip.sourceAppName = "Text Editor";
        clip.sourceDeviceID = "mac_bench";
        clip.sourceDeviceName = "Bench";
        clip.sourceDevicePlatform = "Linux";
        clip.fingerprint = ClipItem::makeFingerprint(ClipKind::text, clip.text, {}, std::nullopt, nullptr);
        items.push_back(std::move(clip));
    }
    return items;
}

}  // namespace harbelle::bench
