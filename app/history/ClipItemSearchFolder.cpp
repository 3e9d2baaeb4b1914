#include "history/ClipItemSearchFolder.h"

#include <malloc.h>

#include <algorithm>
#include <functional>
#include <string_view>
#include <iterator>

namespace harbelle {
namespace {

std::uint64_t mix(std::uint64_t seed, std::uint64_t value) {
    return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

// What a clip's search text is made from, in short: a change of the text changes its
// fingerprint or a size; the source fields change alone, so they are read whole.
std::uint64_t searchDigest(const ClipItem& item) {
    const std::hash<std::string_view> text;
    std::uint64_t digest = item.fingerprint.hash();
    digest = mix(digest, static_cast<std::uint64_t>(item.kind));
    digest = mix(digest, item.title.size());
    digest = mix(digest, item.text.size());
    digest = mix(digest, item.searchableText.size());
    digest = mix(digest, item.fileURLs.size());
    for (const auto& url : item.fileURLs) digest = mix(digest, url.size());
    digest = mix(digest, text(item.sourceAppName));
    digest = mix(digest, item.sourceDeviceName ? text(*item.sourceDeviceName) + 1 : 0);
    digest = mix(digest, item.sourceDevicePlatform ? text(*item.sourceDevicePlatform) + 1 : 0);
    return digest;
}

}  // namespace

ClipItemSearchFolder::ClipItemSearchFolder(std::function<ClipList()> list, QObject* parent)
    : QObject(parent), list_(std::move(list)) {
    due_.setSingleShot(true);
    connect(&due_, &QTimer::timeout, this, [this] { startPass(); });
}

ClipItemSearchFolder::~ClipItemSearchFolder() {
    stop_->store(true);
    if (worker_.joinable()) worker_.join();
}

void ClipItemSearchFolder::listChanged() {
    if (due_.isActive()) return;
    due_.start(everStarted_ ? kQuietMilliseconds : 0);
    everStarted_ = true;
}

bool ClipItemSearchFolder::idle() const {
    return !due_.isActive() && !running_ && !changedMeanwhile_ && adopting_.empty();
}

void ClipItemSearchFolder::startPass() {
    if (running_) {
        changedMeanwhile_ = true;
        return;
    }
    running_ = true;
    if (worker_.joinable()) worker_.join();  // it has posted its result: only its exit is left
    // Copying the list copies pointers; while the worker holds them, a change of a clip copies
    // it first (ClipList::mutableAt), so the worker reads clips nobody changes.
    worker_ = std::thread([this, snapshot = list_(), seen = seen_, stop = stop_] {
        Seen now;
        now.reserve(snapshot.size());
        Folded folded;
        for (const auto& pointer : snapshot.pointers()) {
            if (stop->load(std::memory_order_relaxed)) return;
            const std::uint64_t key = mix(searchDigest(*pointer), reinterpret_cast<std::uintptr_t>(pointer.get()));
            now.push_back(key);
            if (std::binary_search(seen->begin(), seen->end(), key)) continue;
            if (auto fold = ClipItem::makeSearchFold(*pointer)) folded.emplace_back(pointer, std::move(fold));
        }
        std::sort(now.begin(), now.end());
        *seen = std::move(now);
        // This thread's blocks (the list of digests) would otherwise stay resident in its heap.
        malloc_trim(0);
        // The destructor waits for this thread, so `this` outlives the call.
        QMetaObject::invokeMethod(
            this, [this, folded = std::move(folded)]() mutable { passDone(std::move(folded)); }, Qt::QueuedConnection);
    });
}

void ClipItemSearchFolder::passDone(Folded folded) {
    running_ = false;
    const bool adopting = !adopting_.empty();  // its steps are under way and take these too
    adopting_.insert(adopting_.end(), std::make_move_iterator(folded.begin()), std::make_move_iterator(folded.end()));
    if (!adopting) adoptSome();
    if (changedMeanwhile_) {
        changedMeanwhile_ = false;
        due_.start(kQuietMilliseconds);
    }
}

void ClipItemSearchFolder::adoptSome() {
    const std::size_t end = std::min(adopting_.size(), adopted_ + kAdoptedPerStep);
    for (; adopted_ < end; ++adopted_) adopting_[adopted_].first->adoptSearchFold(std::move(adopting_[adopted_].second));
    if (adopted_ < adopting_.size()) {
        QMetaObject::invokeMethod(this, [this] { adoptSome(); }, Qt::QueuedConnection);
        return;
    }
    adopting_.clear();
    adopting_.shrink_to_fit();
    adopted_ = 0;
}

}  // namespace harbelle
