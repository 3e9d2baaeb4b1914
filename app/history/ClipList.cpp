#include "history/ClipList.h"

#include <atomic>

#include <cstring>
#include <functional>
#include <string>

namespace harbelle {

ClipList::ClipList(std::vector<ClipItem> items) {
    items_.reserve(items.size());
    for (auto& item : items) items_.push_back(std::make_shared<ClipItem>(std::move(item)));
}

ClipList::operator std::vector<ClipItem>() const {
    std::vector<ClipItem> out;
    out.reserve(items_.size());
    for (const auto& item : items_) out.push_back(*item);
    return out;
}

ClipList& ClipList::operator=(const ClipList& other) {
    if (this != &other) {
        items_ = other.items_;
        dropKeys();
    }
    return *this;
}

ClipItem& ClipList::mutableAt(std::size_t i) {
    Pointer& slot = items_.at(i);
    if (keyed_) {
        keys_[i].stale = true;
        anyStale_ = true;
    }
    // Only this list holds it: no other list can see the change. Otherwise the others keep
    // the old value and this list gets its own copy.
    if (slot.use_count() != 1) slot = std::make_shared<ClipItem>(*slot);
    // use_count() is a relaxed read: the fence orders it after the save thread's release of
    // its last copy, so that thread's reads of the clip happen before the change below.
    else std::atomic_thread_fence(std::memory_order_acquire);
    // Every clip is made as a non-const ClipItem (see make_shared above), and it is no
    // longer shared, so changing it in place is sound.
    return const_cast<ClipItem&>(*slot);
}

ClipList::Pointer ClipList::take(std::size_t i) {
    Pointer taken = std::move(items_.at(i));
    erase(begin() + static_cast<std::ptrdiff_t>(i));
    return taken;
}

ClipList::const_iterator ClipList::insert(const_iterator at, Pointer item) {
    const auto pos = at - begin();
    if (keyed_) keys_.insert(keys_.begin() + pos, keyOf(*item));
    return const_iterator(items_.insert(at.base(), std::move(item)));
}

void ClipList::append(const ClipList& other) {
    if (keyed_)
        for (const auto& item : other.items_) keys_.push_back(keyOf(*item));
    items_.insert(items_.end(), other.items_.begin(), other.items_.end());
}

ClipList::const_iterator ClipList::erase(const_iterator first, const_iterator last) {
    if (keyed_) keys_.erase(keys_.begin() + (first - begin()), keys_.begin() + (last - begin()));
    return const_iterator(items_.erase(first.base(), last.base()));
}

ClipList::Key ClipList::keyOf(const ClipItem& item) {
    return Key{std::hash<Uuid>{}(item.id), item.recencyDate(), item.fingerprint.hash(), item.isPinned, false};
}

void ClipList::ensureKeys() const {
    if (!keyed_) {
        keys_.clear();
        keys_.reserve(items_.size());
        for (const auto& item : items_) keys_.push_back(keyOf(*item));
        keyed_ = true;
        anyStale_ = false;
        return;
    }
    if (!anyStale_) return;
    for (std::size_t i = 0; i < keys_.size(); ++i)
        if (keys_[i].stale) keys_[i] = keyOf(*items_[i]);
    anyStale_ = false;
}

std::size_t ClipList::indexOf(const Uuid& id) const {
    ensureKeys();
    const std::uint64_t hash = std::hash<Uuid>{}(id);
    for (std::size_t i = 0; i < keys_.size(); ++i)
        if (keys_[i].idHash == hash && items_[i]->id == id) return i;
    return items_.size();
}

std::size_t ClipList::indexOfFingerprint(const std::string& text) const {
    ensureKeys();
    const Fingerprint fingerprint(text);
    const std::uint64_t hash = fingerprint.hash();
    for (std::size_t i = 0; i < keys_.size(); ++i)
        if (keys_[i].fingerprintHash == hash && items_[i]->fingerprint == fingerprint) return i;
    return items_.size();
}

std::size_t ClipList::indexOfIDOrFingerprint(const Uuid& id, const std::string& text) const {
    ensureKeys();
    const Fingerprint fingerprint(text);
    const std::uint64_t hash = fingerprint.hash();
    const std::uint64_t idHash = std::hash<Uuid>{}(id);
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i].idHash == idHash && items_[i]->id == id) return i;
        if (keys_[i].fingerprintHash == hash && items_[i]->fingerprint == fingerprint) return i;
    }
    return items_.size();
}

std::vector<std::uint64_t> ClipList::fingerprintHashes() const {
    ensureKeys();
    std::vector<std::uint64_t> out;
    out.reserve(keys_.size());
    for (const Key& key : keys_) out.push_back(key.fingerprintHash);
    return out;
}

std::vector<std::size_t> ClipList::unpinnedAfter(std::size_t kept) const {
    ensureKeys();
    std::vector<std::size_t> positions;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < keys_.size(); ++i)
        if (!keys_[i].pinned && seen++ >= kept) positions.push_back(i);
    return positions;
}

void ClipList::eraseAt(const std::vector<std::size_t>& positions) {
    if (positions.empty()) return;
    std::size_t next = 0;
    std::size_t write = positions.front();
    for (std::size_t read = write; read < items_.size(); ++read) {
        if (next < positions.size() && positions[next] == read) {
            ++next;
            continue;
        }
        items_[write] = std::move(items_[read]);
        if (keyed_) keys_[write] = keys_[read];
        ++write;
    }
    items_.resize(write);
    if (keyed_) keys_.resize(write);
}

std::size_t ClipList::firstOlderThan(Date date) const {
    ensureKeys();
    for (std::size_t i = 0; i < keys_.size(); ++i)
        if (keys_[i].recency < date) return i;
    return items_.size();
}

std::size_t ClipList::pinnedCount() const {
    ensureKeys();
    std::size_t count = 0;
    for (const auto& key : keys_) count += key.pinned ? 1 : 0;
    return count;
}

void ClipList::move(std::size_t from, std::size_t to) {
    if (from >= items_.size() || to >= items_.size() || from == to) return;
    const auto shift = [from, to](auto first) {
        const auto f = static_cast<std::ptrdiff_t>(from);
        const auto t = static_cast<std::ptrdiff_t>(to);
        if (f > t)
            std::rotate(first + t, first + f, first + f + 1);
        else
            std::rotate(first + f, first + f + 1, first + t + 1);
    };
    shift(items_.begin());
    if (keyed_) shift(keys_.begin());
}

bool operator==(const ClipList& a, const ClipList& b) {
    if (a.items_.size() != b.items_.size()) return false;
    for (std::size_t i = 0; i < a.items_.size(); ++i)
        if (a.items_[i] != b.items_[i] && !(*a.items_[i] == *b.items_[i])) return false;
    return true;
}

}  // namespace harbelle
