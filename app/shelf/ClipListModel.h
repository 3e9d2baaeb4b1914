#pragma once

#include <QAbstractListModel>
#include <QString>
#include <optional>
#include <vector>

#include "history/ClipItem.h"
#include "history/ClipList.h"

Q_DECLARE_METATYPE(harbelle::ClipItem)

namespace harbelle {

// The shelf's list: a read-only model over the clips its owner hands in (the store's
// filtered list). Updates are diffed by clip id, so a clip moved to the top, a deletion or a
// narrowed search moves, removes or inserts rows instead of resetting the whole view.
class ClipListModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role {
        ClipRole = Qt::UserRole + 1,  // the whole ClipItem (a copy)
        IdRole,                       // QString, upper-case UUID
        KindRole,                     // int, ClipKind
        TitleRole,                    // QString, displayTitle
        TextRole,                     // QString
        SourceAppRole,                // QString
        DeviceNameRole,               // QString, sourceDeviceDisplayName
        DeviceSymbolRole,             // QString, sourceDeviceSymbol
        PinnedRole,                   // bool
        PayloadFilenameRole,          // QString, empty without one
        FileURLsRole,                 // QStringList
    };

    explicit ClipListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Replaces the list, telling views only what changed. The model shares the given clips
    // rather than copying them.
    void setItems(const ClipList& items);
    const ClipList& items() const { return items_; }

    // The clip of a row, or null outside the list. Valid until the next setItems.
    const ClipItem* clipAt(int row) const;
    const ClipItem* clipAt(const QModelIndex& index) const;
    std::optional<int> rowOf(const Uuid& id) const;
    QModelIndex indexOf(const Uuid& id) const;

public slots:
    // Repaints the rows showing this payload (a thumbnail became ready).
    void payloadChanged(const QString& payloadName);

private:
    // While runs of rows are inserted or removed one signal at a time, the rows views see are
    // worked out from the old list, the new one and where each new row was in the old one,
    // rather than shifting a list of whole clips once per run.
    struct Transition {
        const ClipList* incoming = nullptr;
        // For each new row, its row in the old list, or npos for a new clip.
        std::vector<std::size_t> oldRowOf;
        bool inserting = false;
        std::size_t headCount = 0;
        std::size_t tailStart = 0;
        std::size_t tailCount = 0;
    };

    void resetTo(const ClipList& items);
    void removeRuns(const ClipList& items, std::vector<std::size_t> oldRowOf);
    void insertRuns(const ClipList& items, std::vector<std::size_t> oldRowOf);
    // Takes the new list (reusing unchanged clips) and repaints the rows whose value differs
    // from their old row.
    void adopt(const ClipList& items, const std::vector<std::size_t>& oldRowOf);
    std::size_t shownCount() const;

    ClipList items_;
    bool itemsHaveDuplicateIds_ = false;
    std::optional<Transition> transition_;
};

}  // namespace harbelle
