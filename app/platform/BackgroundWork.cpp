#include "platform/BackgroundWork.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace harbelle {

BackgroundWork::BackgroundWork(QObject* context) : mailbox_(std::make_shared<Mailbox>()) {
    mailbox_->receiver = context;
}

BackgroundWork::~BackgroundWork() { close(); }

void BackgroundWork::close() {
    std::lock_guard lock(mailbox_->mutex);
    mailbox_->closed = true;
}

void BackgroundWork::post(const std::shared_ptr<Mailbox>& mailbox, std::function<void()> step) {
    // Posting under the lock: `close` cannot finish, so the receiver cannot be destroyed, while
    // the step is queued to it. The receiver's thread checks again, for a close that came after.
    std::lock_guard lock(mailbox->mutex);
    QObject* receiver = mailbox->receiver ? mailbox->receiver : QCoreApplication::instance();
    if (mailbox->closed || !receiver) return;
    QMetaObject::invokeMethod(
        receiver,
        [mailbox, step = std::move(step)] {
            {
                std::lock_guard check(mailbox->mutex);
                if (mailbox->closed) return;
            }
            step();
        },
        Qt::QueuedConnection);
}

}  // namespace harbelle
