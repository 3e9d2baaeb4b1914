#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <vector>

#include "history/ClipItem.h"

namespace harbelle {

// An ordered list of clips held as shared, immutable values. Copying the list (a save snapshot,
// the shelf's rows, a filtered view) copies pointers, and moving a clip within it moves one
// pointer. Readers see `const ClipItem&` as from a vector; a writer changes a clip through
// `mutableAt`, which first copies a clip that another list still shares.
//
// Look-ups by id, fingerprint and recency and the favourites count read a compact key per clip
// (id hash, recency date, fingerprint hash, pinned flag: 32 bytes) rather than touching every clip: at 100,000 clips that is the
// difference between a cache miss per clip and one pass over a small array. The keys are built
// at the first look-up (copies of a list, such as views and save snapshots, never build them)
// and a clip given out by `mutableAt` has its key refreshed at the next look-up.
class ClipList {
public:
    using Pointer = std::shared_ptr<const ClipItem>;
    using Storage = std::vector<Pointer>;

    class const_iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using iterator_concept = std::random_access_iterator_tag;
        using value_type = ClipItem;
        using difference_type = std::ptrdiff_t;
        using pointer = const ClipItem*;
        using reference = const ClipItem&;

        const_iterator() = default;
        explicit const_iterator(Storage::const_iterator at) : at_(at) {}

        reference operator*() const { return **at_; }
        pointer operator->() const { return at_->get(); }
        reference operator[](difference_type n) const { return *at_[n]; }
        const Pointer& shared() const { return *at_; }
        Storage::const_iterator base() const { return at_; }

        const_iterator& operator++() { ++at_; return *this; }
        const_iterator operator++(int) { auto old = *this; ++at_; return old; }
        const_iterator& operator--() { --at_; return *this; }
        const_iterator operator--(int) { auto old = *this; --at_; return old; }
        const_iterator& operator+=(difference_type n) { at_ += n; return *this; }
        const_iterator& operator-=(difference_type n) { at_ -= n; return *this; }
        friend const_iterator operator+(const_iterator i, difference_type n) { return i += n; }
        friend const_iterator operator+(difference_type n, const_iterator i) { return i += n; }
        friend const_iterator operator-(const_iterator i, difference_type n) { return i -= n; }
        friend difference_type operator-(const const_iterator& a, const const_iterator& b) { return a.at_ - b.at_; }
        friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.at_ == b.at_; }
        friend auto operator<=>(const const_iterator& a, const const_iterator& b) { return a.at_ <=> b.at_; }

    private:
        Storage::const_iterator at_{};
    };
    using iterator = const_iterator;
    using value_type = ClipItem;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using reference = const ClipItem&;
    using const_reference = const ClipItem&;

    ClipList() = default;
    ClipList(const ClipList& other) : items_(other.items_) {}
    ClipList(ClipList&&) noexcept = default;
    ClipList& operator=(const ClipList& other);
    ClipList& operator=(ClipList&&) noexcept = default;
    // From plain values (tests, imports, the sample history).
    ClipList(std::vector<ClipItem> items);  // NOLINT(google-explicit-constructor)
    ClipList(std::initializer_list<ClipItem> items) : ClipList(std::vector<ClipItem>(items)) {}
    // A plain copy of every clip, for callers that want values.
    operator std::vector<ClipItem>() const;  // NOLINT(google-explicit-constructor)
    std::vector<ClipItem> toVector() const { return *this; }

    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const ClipItem& operator[](std::size_t i) const { return *items_[i]; }
    const ClipItem& at(std::size_t i) const { return *items_.at(i); }
    const ClipItem& front() const { return *items_.front(); }
    const ClipItem& back() const { return *items_.back(); }
    const_iterator begin() const { return const_iterator(items_.begin()); }
    const_iterator end() const { return const_iterator(items_.end()); }
    const Pointer& shared(std::size_t i) const { return items_[i]; }
    const Storage& pointers() const { return items_; }

    // The clip at `i` for changing; a clip another list shares is copied first, so that list
    // keeps the old value. Change it before the next look-up in this list (which re-reads its
    // id, fingerprint and pin).
    ClipItem& mutableAt(std::size_t i);

    // Positions, or size() when absent.
    std::size_t indexOf(const Uuid& id) const;
    std::size_t indexOfFingerprint(const std::string& fingerprint) const;
    // The first clip with this id or this fingerprint.
    std::size_t indexOfIDOrFingerprint(const Uuid& id, const std::string& fingerprint) const;
    // Every clip's Fingerprint::hash, in list order: a copy another thread may search.
    std::vector<std::uint64_t> fingerprintHashes() const;
    std::size_t pinnedCount() const;
    // The first clip whose recency date is before `date`: where a clip of that date goes.
    std::size_t firstOlderThan(Date date) const;
    // Positions of the clips that are not favourites, after the first `kept` of them, in order.
    std::vector<std::size_t> unpinnedAfter(std::size_t kept) const;
    // Removes the clips at these ascending positions; only the clips behind the first move.
    void eraseAt(const std::vector<std::size_t>& positions);

    void reserve(std::size_t n) { items_.reserve(n); }
    void shrink_to_fit() { items_.shrink_to_fit(); }
    void clear() {
        items_.clear();
        keys_.clear();
    }
    void push_back(ClipItem item) { push_back(Pointer(std::make_shared<ClipItem>(std::move(item)))); }
    void push_back(Pointer item) {
        if (keyed_) keys_.push_back(keyOf(*item));
        items_.push_back(std::move(item));
    }
    const_iterator insert(const_iterator at, ClipItem item) {
        return insert(at, Pointer(std::make_shared<ClipItem>(std::move(item))));
    }
    const_iterator insert(const_iterator at, Pointer item);
    void append(const ClipList& other);
    const_iterator erase(const_iterator at) { return erase(at, at + 1); }
    const_iterator erase(const_iterator first, const_iterator last);
    // Removes the clip at `i` and hands it back.
    Pointer take(std::size_t i);
    // Moves the clip at `from` to `to` (an index in the list as it is now), shifting the
    // clips between by one.
    void move(std::size_t from, std::size_t to);

    // Asks `pred` about each clip once, in list order, and removes those it names; the
    // clips kept move up without being copied. Returns how many were removed.
    template <class Pred>
    std::size_t eraseIf(Pred pred) {
        std::size_t write = 0;
        for (std::size_t read = 0; read < items_.size(); ++read) {
            if (pred(*items_[read])) continue;
            if (write != read) {
                items_[write] = std::move(items_[read]);
                if (keyed_) keys_[write] = keys_[read];
            }
            ++write;
        }
        const std::size_t removed = items_.size() - write;
        items_.resize(write);
        if (keyed_) keys_.resize(write);
        return removed;
    }
    template <class Compare>
    void stableSort(Compare less) {
        std::stable_sort(items_.begin(), items_.end(), [&](const Pointer& a, const Pointer& b) { return less(*a, *b); });
        dropKeys();
    }

    // Member-wise, like a vector of values; shared clips compare equal without a look inside.
    friend bool operator==(const ClipList& a, const ClipList& b);

private:
    struct Key {
        std::uint64_t idHash = 0;
        Date recency{};
        std::uint64_t fingerprintHash = 0;
        bool pinned = false;
        bool stale = false;
    };
    static Key keyOf(const ClipItem& item);
    // Builds the keys if they are not built, refreshes those of changed clips.
    void ensureKeys() const;
    void dropKeys() {
        keys_.clear();
        keyed_ = false;
    }

    Storage items_;
    mutable std::vector<Key> keys_;
    mutable bool keyed_ = false;
    mutable bool anyStale_ = false;
};

// Root of the history file.
struct PersistedHistory {
    std::int64_t version = 1;
    ClipList items;
};

}  // namespace harbelle
