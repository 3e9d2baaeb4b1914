#include "sync/SyncRememberedDeletes.h"

#include <algorithm>
#include <cstring>

#include "common/UuidText.h"

namespace harbelle::sync {

std::optional<SyncClipKey> syncClipKey(std::string_view id) { return uuidtext::parse(id); }

std::string syncClipIDText(const SyncClipKey& key) { return uuidtext::format(key, "0123456789abcdef"); }

std::size_t SyncClipKeyHash::operator()(const SyncClipKey& key) const noexcept {
    std::uint64_t a, b;
    std::memcpy(&a, key.data(), 8);
    std::memcpy(&b, key.data() + 8, 8);
    // Every byte reaches the low bits the table uses (ids need not be random).
    std::uint64_t x = a ^ (b * 0x9e3779b97f4a7c15ULL);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return std::size_t(x);
}

SyncRememberedDeletes::SyncRememberedDeletes(std::size_t capacity) : capacity_(capacity) {}

bool SyncRememberedDeletes::contains(std::string_view id) const {
    auto key = syncClipKey(id);
    return key && has(*key);
}

std::size_t SyncRememberedDeletes::slotOf(const SyncClipKey& key) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = SyncClipKeyHash{}(key) & mask;
    while (used_[at] && slots_[at] != key) at = (at + 1) & mask;
    return at;
}

bool SyncRememberedDeletes::has(const SyncClipKey& key) const { return !slots_.empty() && used_[slotOf(key)]; }

bool SyncRememberedDeletes::insert(const SyncClipKey& key) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    const std::size_t at = slotOf(key);
    if (used_[at]) return false;
    slots_[at] = key;
    used_[at] = 1;
    ++count_;
    return true;
}

void SyncRememberedDeletes::erase(const SyncClipKey& key) {
    if (slots_.empty()) return;
    const std::size_t mask = slots_.size() - 1;
    std::size_t hole = slotOf(key);
    if (!used_[hole]) return;
    used_[hole] = 0;
    --count_;
    // Shift back the entries after the hole that probed past it, so no search stops short.
    for (std::size_t at = (hole + 1) & mask; used_[at]; at = (at + 1) & mask) {
        const std::size_t home = SyncClipKeyHash{}(slots_[at]) & mask;
        if (((at - home) & mask) >= ((at - hole) & mask)) {
            slots_[hole] = slots_[at];
            used_[hole] = 1;
            used_[at] = 0;
            hole = at;
        }
    }
}

void SyncRememberedDeletes::grow() {
    std::vector<SyncClipKey> old = std::move(slots_);
    std::vector<std::uint8_t> oldUsed = std::move(used_);
    slots_.assign(std::max<std::size_t>(64, old.size() * 2), SyncClipKey{});
    used_.assign(slots_.size(), 0);
    count_ = 0;
    for (std::size_t i = 0; i < old.size(); ++i)
        if (oldUsed[i]) insert(old[i]);
}

void SyncRememberedDeletes::remember(std::string_view id) {
    if (auto key = syncClipKey(id)) add(*key);
}

void SyncRememberedDeletes::add(const SyncClipKey& key) {
    if (!insert(key)) return;
    ++version_;
    order_.push_back(key);
    while (count_ > capacity_) erase(order_[head_++]);
    // The forgotten front is dropped once it is most of the array: constant time per id.
    if (head_ > 1024 && head_ * 2 > order_.size()) {
        order_.erase(order_.begin(), order_.begin() + std::ptrdiff_t(head_));
        head_ = 0;
    }
}

void SyncRememberedDeletes::forget(std::string_view id) {
    auto key = syncClipKey(id);
    if (!key || !has(*key)) return;
    ++version_;
    erase(*key);
    // Rare (a clip captured again under a deleted id): a linear search is fine.
    order_.erase(std::find(order_.begin() + std::ptrdiff_t(head_), order_.end(), *key));
}

std::vector<SyncClipKey> SyncRememberedDeletes::oldestFirst() const {
    return {order_.begin() + std::ptrdiff_t(head_), order_.end()};
}

std::string SyncRememberedDeletes::packed() const {
    std::string out((order_.size() - head_) * sizeof(SyncClipKey), '\0');
    if (!out.empty()) std::memcpy(out.data(), order_.data() + head_, out.size());
    return out;
}

void SyncRememberedDeletes::unpack(std::string_view bytes) {
    for (std::size_t at = 0; at + sizeof(SyncClipKey) <= bytes.size(); at += sizeof(SyncClipKey)) {
        SyncClipKey key;
        std::memcpy(key.data(), bytes.data() + at, key.size());
        add(key);
    }
}

}  // namespace harbelle::sync
