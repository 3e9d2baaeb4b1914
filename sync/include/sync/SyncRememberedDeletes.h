#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace harbelle::sync {

// A clip identifier as its 16 bytes.
using SyncClipKey = std::array<std::uint8_t, 16>;

// The 16 bytes of a UUID text (either case); nullopt for anything else.
std::optional<SyncClipKey> syncClipKey(std::string_view id);
// Lower-case UUID text.
std::string syncClipIDText(const SyncClipKey& key);

struct SyncClipKeyHash {
    std::size_t operator()(const SyncClipKey& key) const noexcept;
};
using SyncClipKeySet = std::unordered_set<SyncClipKey, SyncClipKeyHash>;

// Identifiers of deleted clips, oldest first, at most `capacity` (the oldest go first).
// Lookups and additions take constant time and allocate nothing per id (an open-addressing
// table beside the order), so a long history of deletes costs the main thread little; the
// order is one flat array, cheap to copy and to save.
class SyncRememberedDeletes {
public:
    explicit SyncRememberedDeletes(std::size_t capacity);

    bool contains(std::string_view id) const;
    // An id that is no UUID text cannot name a clip and is not kept.
    void remember(std::string_view id);
    void forget(std::string_view id);
    std::size_t size() const { return count_; }
    // Changes with every change of the list: a saved copy is reused while it holds.
    std::uint64_t version() const { return version_; }
    std::vector<SyncClipKey> oldestFirst() const;

    // 16 bytes per id, oldest first; unpack() ignores a trailing partial id.
    std::string packed() const;
    void unpack(std::string_view bytes);

    bool operator==(const SyncRememberedDeletes& other) const { return oldestFirst() == other.oldestFirst(); }

private:
    void add(const SyncClipKey& key);
    bool has(const SyncClipKey& key) const;
    bool insert(const SyncClipKey& key);  // false when present
    void erase(const SyncClipKey& key);
    std::size_t slotOf(const SyncClipKey& key) const;  // its slot, or the empty one it would take
    void grow();

    std::size_t capacity_;
    std::vector<SyncClipKey> order_;  // from head_ on; the ones before it were forgotten
    std::size_t head_ = 0;
    // Linear probing over a power-of-two table at most half full.
    std::vector<SyncClipKey> slots_;
    std::vector<std::uint8_t> used_;
    std::size_t count_ = 0;
    std::uint64_t version_ = 0;
};

}  // namespace harbelle::sync
