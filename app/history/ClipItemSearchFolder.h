#pragma once

#include <QObject>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "history/ClipList.h"

namespace harbelle {

// Folds the search text of a history's clips on a worker, so that a search on the GUI thread
// finds the folds made and never folds a large history itself. After a change of the list, the
// clips the worker has not seen yet are folded (those whose text needs it: ASCII needs none);
// the folds come back to this thread and are handed to their clips in short steps. A search
// before a clip's fold has come back still finds it: it folds that clip itself.
class ClipItemSearchFolder : public QObject {
public:
    // `list` gives the history as it is now; it is read on this object's thread only.
    ClipItemSearchFolder(std::function<ClipList()> list, QObject* parent);
    ~ClipItemSearchFolder() override;

    // The list changed: fold what is new in it a moment later (at once when nothing was
    // folded yet).
    void listChanged();
    // True when no pass is due, running or handing folds back.
    bool idle() const;

    // How long after a change the worker looks at the list; changes meanwhile share the pass.
    static constexpr int kQuietMilliseconds = 150;
    // Folds handed to their clips per step of the GUI thread.
    static constexpr std::size_t kAdoptedPerStep = 2'000;

private:
    struct Pass;
    using Folded = std::vector<std::pair<ClipList::Pointer, ClipItem::SearchFold>>;
    void startPass();
    void passDone(Folded folded);
    void adoptSome();

    std::function<ClipList()> list_;
    QTimer due_;
    bool everStarted_ = false;
    bool changedMeanwhile_ = false;
    std::thread worker_;
    std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
    bool running_ = false;
    // The clips the worker has looked at: a digest of each one's address and of what its search
    // text is made from (a clip changed in place reads anew), sorted. A digest that a new clip
    // happens to share only means that clip is folded at its first search instead.
    using Seen = std::vector<std::uint64_t>;
    std::shared_ptr<Seen> seen_ = std::make_shared<Seen>();
    Folded adopting_;
    std::size_t adopted_ = 0;
};

}  // namespace harbelle
