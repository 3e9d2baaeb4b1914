#include "history/ClipList.h"

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

ClipItem& ClipList::mutableAt(std::size_t i) {
    Pointer& slot = items_.at(i);
    // Only this list holds it: no other list can see the change. Otherwise the others keep
    // the old value and this list gets its own copy.
    if (slot.use_count() != 1) slot = std::make_shared<ClipItem>(*slot);
    // Every clip is made as a non-const ClipItem (see make_shared above), and it is no
    // longer shared, so changing it in place is sound.
    return const_cast<ClipItem&>(*slot);
}

ClipList::Pointer ClipList::take(std::size_t i) {
    Pointer taken = std::move(items_.at(i));
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
    return taken;
}

void ClipList::move(std::size_t from, std::size_t to) {
    if (from >= items_.size() || to >= items_.size() || from == to) return;
    const auto first = items_.begin();
    if (from > to)
        std::rotate(first + static_cast<std::ptrdiff_t>(to), first + static_cast<std::ptrdiff_t>(from),
                    first + static_cast<std::ptrdiff_t>(from) + 1);
    else
        std::rotate(first + static_cast<std::ptrdiff_t>(from), first + static_cast<std::ptrdiff_t>(from) + 1,
                    first + static_cast<std::ptrdiff_t>(to) + 1);
}

bool operator==(const ClipList& a, const ClipList& b) {
    if (a.items_.size() != b.items_.size()) return false;
    for (std::size_t i = 0; i < a.items_.size(); ++i)
        if (a.items_[i] != b.items_[i] && !(*a.items_[i] == *b.items_[i])) return false;
    return true;
}

}  // namespace harbelle
