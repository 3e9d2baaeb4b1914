#pragma once

#include <QObject>
#include <QThreadPool>
#include <functional>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

namespace harbelle {

// The one way work leaves the GUI thread and comes back. An owner keeps one BackgroundWork:
// `run` does work on a thread pool and hands its result to the GUI thread; `handBack` posts a
// step from a thread of the owner's own (the save thread, the AT-SPI thread). Steps run on
// `context`'s thread, and only while this object lives: destroying it (or `close`) drops
// whatever is still on its way, so nothing reaches an owner that is gone. The context outlives
// this object (an owner passes itself and keeps this as a member).
class BackgroundWork {
public:
    // A null context means the application object.
    explicit BackgroundWork(QObject* context = nullptr);
    ~BackgroundWork();
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;

    // Any thread. Dropped once closed.
    void handBack(std::function<void()> step) const { post(mailbox_, std::move(step)); }

    // `work()` on `pool` (the global one when null), then `done(result)` on the context's thread.
    template <typename Work, typename Done>
    void run(Work work, Done done, QThreadPool* pool = nullptr) const {
        (pool ? pool : QThreadPool::globalInstance())
            ->start([mailbox = mailbox_, work = std::move(work), done = std::move(done)]() mutable {
                if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
                    work();
                    post(mailbox, std::move(done));
                } else {
                    post(mailbox, [done = std::move(done), result = work()]() mutable { done(std::move(result)); });
                }
            });
    }

    // Drops every step still on its way and any later one. GUI thread.
    void close();

private:
    struct Mailbox {
        std::mutex mutex;
        QObject* receiver = nullptr;  // null: the application object of the moment
        bool closed = false;
    };

public:
    // The way back, for a thread that may outlive the owner: copies post like `handBack`.
    class Sender {
    public:
        void post(std::function<void()> step) const { BackgroundWork::post(mailbox_, std::move(step)); }

    private:
        friend class BackgroundWork;
        explicit Sender(std::shared_ptr<Mailbox> mailbox) : mailbox_(std::move(mailbox)) {}
        std::shared_ptr<Mailbox> mailbox_;
    };
    Sender sender() const { return Sender(mailbox_); }

private:
    static void post(const std::shared_ptr<Mailbox>& mailbox, std::function<void()> step);

    std::shared_ptr<Mailbox> mailbox_;
};

}  // namespace harbelle
