#include "shelf/ClipListModel.h"

#include <QStringList>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <numeric>

#include "shelf/PlainToolTip.h"

namespace harbelle {

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

// Whether two rows hold the same clip. Lists share their clips: a shared clip answers without a
// read of the clip itself, which at a hundred thousand rows is a cache miss each.
bool sameId(const ClipList& a, std::size_t i, const ClipList& b, std::size_t j) {
    return a.shared(i) == b.shared(j) || a[i].id == b[j].id;
}

bool sameIds(const ClipList& a, std::size_t aFrom, const ClipList& b,
             std::size_t bFrom, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (!sameId(a, aFrom + i, b, bFrom + i)) return false;
    return true;
}

constexpr std::size_t npos = static_cast<std::size_t>(-1);

bool hasDuplicateIds(const ClipList& items) {
    // One pass over an open-addressed table of the ids' two machine words: linear in the rows,
    // where sorting them cost n log n on every keystroke.
    std::size_t capacity = 16;
    while (capacity < items.size() * 2) capacity <<= 1;
    const std::size_t mask = capacity - 1;
    std::vector<std::array<std::uint64_t, 2>> table(capacity);
    std::vector<std::uint8_t> used(capacity, 0);
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::array<std::uint64_t, 2> id;
        std::memcpy(id.data(), items[i].id.bytes().data(), sizeof id);
        std::size_t slot = static_cast<std::size_t>((std::hash<Uuid>{}(items[i].id) * 0xBF58476D1CE4E5B9ULL) >> 17) & mask;
        while (used[slot]) {
            if (table[slot] == id) return true;
            slot = (slot + 1) & mask;
        }
        used[slot] = 1;
        table[slot] = id;
    }
    return false;
}

// When `small`'s ids appear in `large` in the same order: for each row of `large`, its row in
// `small` or npos. Nothing otherwise.
std::optional<std::vector<std::size_t>> orderedSubset(const ClipList& small,
                                                      const ClipList& large) {
    std::vector<std::size_t> rowInSmall(large.size(), npos);
    std::size_t j = 0;
    for (std::size_t i = 0; i < large.size() && j < small.size(); ++i)
        if (sameId(large, i, small, j)) rowInSmall[i] = j++;
    if (j != small.size()) return std::nullopt;
    return rowInSmall;
}

}  // namespace

ClipListModel::ClipListModel(QObject* parent) : QAbstractListModel(parent) {}

std::size_t ClipListModel::shownCount() const {
    return transition_ ? transition_->headCount + transition_->tailCount : items_.size();
}

int ClipListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(shownCount());
}

const ClipItem* ClipListModel::clipAt(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= shownCount()) return nullptr;
    const auto r = static_cast<std::size_t>(row);
    if (!transition_) return &items_[r];
    const Transition& t = *transition_;
    // Rows keep their old values until the new list is taken whole.
    if (t.inserting) {
        if (r >= t.headCount) return &items_[t.tailStart + r - t.headCount];
        return t.oldRowOf[r] == npos ? &(*t.incoming)[r] : &items_[t.oldRowOf[r]];
    }
    if (r < t.headCount) return &items_[r];
    return &items_[t.oldRowOf[t.tailStart + r - t.headCount]];
}

const ClipItem* ClipListModel::clipAt(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) return nullptr;
    return clipAt(index.row());
}

std::optional<int> ClipListModel::rowOf(const Uuid& id) const {
    const int count = static_cast<int>(shownCount());
    for (int row = 0; row < count; ++row)
        if (clipAt(row)->id == id) return row;
    return std::nullopt;
}

QModelIndex ClipListModel::indexOf(const Uuid& id) const {
    const auto row = rowOf(id);
    return row ? index(*row) : QModelIndex();
}

QVariant ClipListModel::data(const QModelIndex& index, int role) const {
    const ClipItem* clip = clipAt(index);
    if (!clip) return {};
    switch (role) {
    case Qt::DisplayRole:
    case TitleRole: return qs(clip->displayTitle());
    case Qt::ToolTipRole: return plainToolTip(qs(clip->displayTitle()));
    case ClipRole: return QVariant::fromValue(*clip);
    case IdRole: return qs(clip->id.uppercaseString());
    case KindRole: return static_cast<int>(clip->kind);
    case TextRole: return qs(clip->text);
    case SourceAppRole: return qs(clip->sourceAppName);
    case DeviceNameRole: return qs(clip->sourceDeviceDisplayName());
    case DeviceSymbolRole: return qs(clip->sourceDeviceSymbol());
    case PinnedRole: return clip->isPinned;
    case PayloadFilenameRole: return clip->payloadFilename ? qs(*clip->payloadFilename) : QString();
    case FileURLsRole: {
        QStringList urls;
        for (const auto& url : clip->fileURLs) urls << qs(url);
        return urls;
    }
    default: return {};
    }
}

QHash<int, QByteArray> ClipListModel::roleNames() const {
    auto names = QAbstractListModel::roleNames();
    names.insert(ClipRole, "clip");
    names.insert(IdRole, "clipID");
    names.insert(KindRole, "kind");
    names.insert(TitleRole, "title");
    names.insert(TextRole, "text");
    names.insert(SourceAppRole, "sourceAppName");
    names.insert(DeviceNameRole, "deviceName");
    names.insert(DeviceSymbolRole, "deviceSymbol");
    names.insert(PinnedRole, "isPinned");
    names.insert(PayloadFilenameRole, "payloadFilename");
    names.insert(FileURLsRole, "fileURLs");
    return names;
}

void ClipListModel::resetTo(const ClipList& items) {
    beginResetModel();
    items_ = items;
    itemsHaveDuplicateIds_ = hasDuplicateIds(items_);
    endResetModel();
}

// Rows only removed (a narrowed search, a deletion): runs go from the bottom up, so the rows
// above the current run are still the old list's first rows.
void ClipListModel::removeRuns(const ClipList& items, std::vector<std::size_t> oldRowOf) {
    const std::size_t oldCount = items_.size();
    const std::size_t newCount = items.size();
    std::vector<bool> kept(oldCount, false);
    for (const std::size_t old : oldRowOf) kept[old] = true;
    transition_ = Transition{&items, std::move(oldRowOf), false, oldCount, newCount, 0};
    std::size_t below = 0;  // kept rows under the current run
    std::size_t row = oldCount;
    while (row > 0) {
        if (kept[row - 1]) {
            ++below;
            --row;
            continue;
        }
        std::size_t first = row - 1;
        while (first > 0 && !kept[first - 1]) --first;
        beginRemoveRows(QModelIndex(), static_cast<int>(first), static_cast<int>(row - 1));
        transition_->headCount = first;
        transition_->tailStart = newCount - below;
        transition_->tailCount = below;
        endRemoveRows();
        row = first;
    }
    const std::vector<std::size_t> map = std::move(transition_->oldRowOf);
    adopt(items, map);
}

// Rows only added (a new copy, a widened search): runs go top down, so the rows under the
// current run are still the old list's last rows.
void ClipListModel::insertRuns(const ClipList& items, std::vector<std::size_t> oldRowOf) {
    const std::size_t oldCount = items_.size();
    const std::size_t newCount = items.size();
    transition_ = Transition{&items, std::move(oldRowOf), true, 0, 0, oldCount};
    const auto& map = transition_->oldRowOf;
    std::size_t consumed = 0;  // old rows above the current run
    std::size_t row = 0;
    while (row < newCount) {
        if (map[row] != npos) {
            ++consumed;
            ++row;
            continue;
        }
        std::size_t last = row;
        while (last + 1 < newCount && map[last + 1] == npos) ++last;
        beginInsertRows(QModelIndex(), static_cast<int>(row), static_cast<int>(last));
        transition_->headCount = last + 1;
        transition_->tailStart = consumed;
        transition_->tailCount = oldCount - consumed;
        endInsertRows();
        row = last + 1;
    }
    const std::vector<std::size_t> rows = std::move(transition_->oldRowOf);
    adopt(items, rows);
}

void ClipListModel::adopt(const ClipList& items, const std::vector<std::size_t>& oldRowOf) {
    // The model shares the caller's clips; a row repaints only when its value changed.
    std::vector<bool> changed(items.size(), false);
    for (std::size_t row = 0; row < items.size(); ++row) {
        const std::size_t old = oldRowOf[row];
        changed[row] = old != npos && items_.shared(old) != items.shared(row) && !(items_[old] == items[row]);
    }
    transition_.reset();
    items_ = items;
    int first = -1;
    for (int row = 0; row <= static_cast<int>(items_.size()); ++row) {
        const bool differs = row < static_cast<int>(items_.size()) && changed[static_cast<std::size_t>(row)];
        if (differs && first < 0) first = row;
        if (!differs && first >= 0) {
            emit dataChanged(index(first), index(row - 1));
            first = -1;
        }
    }
}


void ClipListModel::setItems(const ClipList& items) {
    const std::size_t oldCount = items_.size();
    const std::size_t newCount = items.size();
    std::vector<std::size_t> sameRows(newCount);
    std::iota(sameRows.begin(), sameRows.end(), std::size_t{0});

    // Rows taken in order from a list that holds each id once hold each id once too, so the
    // common changes (values only, a narrowed search) need no check of their own.
    if (!itemsHaveDuplicateIds_) {
        // Same rows: only values may have changed.
        if (oldCount == newCount && sameIds(items_, 0, items, 0, oldCount)) {
            adopt(items, sameRows);
            return;
        }
        if (newCount < oldCount) {
            if (auto newRowOfOld = orderedSubset(items, items_)) {
                std::vector<std::size_t> oldRowOf(newCount, npos);
                for (std::size_t old = 0; old < oldCount; ++old)
                    if ((*newRowOfOld)[old] != npos) oldRowOf[(*newRowOfOld)[old]] = old;
                removeRuns(items, std::move(oldRowOf));
                return;
            }
        }
    }
    if (itemsHaveDuplicateIds_ || hasDuplicateIds(items)) {
        resetTo(items);
        return;
    }
    if (newCount > oldCount) {
        if (auto oldRowOf = orderedSubset(items_, items)) {
            insertRuns(items, std::move(*oldRowOf));
            return;
        }
    }

    // One clip moved (a copy of an older clip goes back to the top).
    if (oldCount == newCount && oldCount > 1) {
        std::size_t prefix = 0;
        while (prefix < oldCount && sameId(items_, prefix, items, prefix)) ++prefix;
        std::size_t suffix = 0;
        while (suffix < oldCount - prefix && sameId(items_, oldCount - 1 - suffix, items, newCount - 1 - suffix))
            ++suffix;
        const std::size_t span = oldCount - prefix - suffix;
        const std::size_t last = prefix + span - 1;
        const bool movedUp = span >= 2 && items[prefix].id == items_[last].id &&
                             sameIds(items, prefix + 1, items_, prefix, span - 1);
        const bool movedDown = span >= 2 && items[last].id == items_[prefix].id &&
                               sameIds(items, prefix, items_, prefix + 1, span - 1);
        if (movedUp || movedDown) {
            const int from = static_cast<int>(movedUp ? last : prefix);
            const int to = static_cast<int>(movedUp ? prefix : last + 1);
            beginMoveRows(QModelIndex(), from, from, QModelIndex(), to);
            if (movedUp)
                items_.move(last, prefix);
            else
                items_.move(prefix, last);
            endMoveRows();
            adopt(items, sameRows);
            return;
        }
    }

    resetTo(items);
}

void ClipListModel::payloadChanged(const QString& payloadName) {
    const std::string name = payloadName.toStdString();
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (items_[i].payloadFilename && *items_[i].payloadFilename == name) {
            const QModelIndex changed = index(static_cast<int>(i));
            emit dataChanged(changed, changed);
        }
    }
}

}  // namespace harbelle
