#include "shelf/ClipListModel.h"

#include <QStringList>
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "shelf/PlainToolTip.h"

namespace harbelle {

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

bool sameIds(const std::vector<ClipItem>& a, std::size_t aFrom, const std::vector<ClipItem>& b,
             std::size_t bFrom, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (!(a[aFrom + i].id == b[bFrom + i].id)) return false;
    return true;
}

bool hasDuplicateIds(const std::vector<ClipItem>& items) {
    std::unordered_set<Uuid> seen;
    seen.reserve(items.size());
    for (const auto& item : items)
        if (!seen.insert(item.id).second) return true;
    return false;
}

// True when `small`'s ids appear in `large` in the same order.
bool isOrderedSubset(const std::vector<ClipItem>& small, const std::vector<ClipItem>& large) {
    std::size_t j = 0;
    for (std::size_t i = 0; i < large.size() && j < small.size(); ++i)
        if (large[i].id == small[j].id) ++j;
    return j == small.size();
}

}  // namespace

ClipListModel::ClipListModel(QObject* parent) : QAbstractListModel(parent) {}

int ClipListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(items_.size());
}

const ClipItem* ClipListModel::clipAt(int row) const {
    if (row < 0 || row >= static_cast<int>(items_.size())) return nullptr;
    return &items_[static_cast<std::size_t>(row)];
}

const ClipItem* ClipListModel::clipAt(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) return nullptr;
    return clipAt(index.row());
}

std::optional<int> ClipListModel::rowOf(const Uuid& id) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].id == id) return static_cast<int>(i);
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

void ClipListModel::resetTo(std::vector<ClipItem> items) {
    beginResetModel();
    items_ = std::move(items);
    endResetModel();
}

// After the rows line up again (same ids in the same order), repaint the ones whose value
// changed; `previous` holds the old values in the new order.
void ClipListModel::emitChangedRows(const std::vector<ClipItem>& previous) {
    int first = -1;
    for (int row = 0; row <= static_cast<int>(items_.size()); ++row) {
        const bool changed = row < static_cast<int>(items_.size()) &&
                             !(items_[static_cast<std::size_t>(row)] == previous[static_cast<std::size_t>(row)]);
        if (changed && first < 0) first = row;
        if (!changed && first >= 0) {
            emit dataChanged(index(first), index(row - 1));
            first = -1;
        }
    }
}

void ClipListModel::setItems(std::vector<ClipItem> items) {
    if (hasDuplicateIds(items) || hasDuplicateIds(items_)) {
        resetTo(std::move(items));
        return;
    }
    const std::size_t oldCount = items_.size();
    const std::size_t newCount = items.size();

    // Same rows: only values may have changed.
    if (oldCount == newCount && sameIds(items_, 0, items, 0, oldCount)) {
        std::vector<ClipItem> previous = std::move(items_);
        items_ = std::move(items);
        emitChangedRows(previous);
        return;
    }

    // Rows only removed (a narrowed search, a deletion): remove runs from the bottom up.
    if (newCount < oldCount && isOrderedSubset(items, items_)) {
        std::unordered_set<Uuid> kept;
        for (const auto& item : items) kept.insert(item.id);
        std::vector<ClipItem> previous;
        int row = static_cast<int>(oldCount) - 1;
        while (row >= 0) {
            if (kept.count(items_[static_cast<std::size_t>(row)].id)) { --row; continue; }
            int first = row;
            while (first - 1 >= 0 && !kept.count(items_[static_cast<std::size_t>(first - 1)].id)) --first;
            beginRemoveRows(QModelIndex(), first, row);
            items_.erase(items_.begin() + first, items_.begin() + row + 1);
            endRemoveRows();
            row = first - 1;
        }
        previous = std::move(items_);
        items_ = std::move(items);
        emitChangedRows(previous);
        return;
    }

    // Rows only added (a new copy, a widened search): insert runs top down.
    if (newCount > oldCount && isOrderedSubset(items_, items)) {
        std::unordered_set<Uuid> existing;
        for (const auto& item : items_) existing.insert(item.id);
        std::size_t row = 0;
        while (row < newCount) {
            if (existing.count(items[row].id)) {
                ++row;
                continue;
            }
            std::size_t last = row;
            while (last + 1 < newCount && !existing.count(items[last + 1].id)) ++last;
            beginInsertRows(QModelIndex(), static_cast<int>(row), static_cast<int>(last));
            items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(row),
                          items.begin() + static_cast<std::ptrdiff_t>(row),
                          items.begin() + static_cast<std::ptrdiff_t>(last) + 1);
            endInsertRows();
            row = last + 1;
        }
        std::vector<ClipItem> aligned = std::move(items_);
        items_ = std::move(items);
        emitChangedRows(aligned);
        return;
    }

    // One clip moved (a copy of an older clip goes back to the top).
    if (oldCount == newCount && oldCount > 1) {
        std::size_t prefix = 0;
        while (prefix < oldCount && items_[prefix].id == items[prefix].id) ++prefix;
        std::size_t suffix = 0;
        while (suffix < oldCount - prefix && items_[oldCount - 1 - suffix].id == items[newCount - 1 - suffix].id)
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
                std::rotate(items_.begin() + static_cast<std::ptrdiff_t>(prefix),
                            items_.begin() + static_cast<std::ptrdiff_t>(last),
                            items_.begin() + static_cast<std::ptrdiff_t>(last) + 1);
            else
                std::rotate(items_.begin() + static_cast<std::ptrdiff_t>(prefix),
                            items_.begin() + static_cast<std::ptrdiff_t>(prefix) + 1,
                            items_.begin() + static_cast<std::ptrdiff_t>(last) + 1);
            endMoveRows();
            std::vector<ClipItem> previous = std::move(items_);
            items_ = std::move(items);
            emitChangedRows(previous);
            return;
        }
    }

    resetTo(std::move(items));
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
