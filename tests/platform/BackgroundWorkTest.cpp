#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QThreadPool>
#include <atomic>
#include <memory>
#include <thread>

#include "platform/BackgroundWork.h"

namespace harbelle {
namespace {

TEST(BackgroundWork, WorkRunsOffTheGuiThreadAndItsResultComesBackOnIt) {
    QObject context;
    BackgroundWork work(&context);
    const auto gui = std::this_thread::get_id();
    std::thread::id workedOn, doneOn;
    int got = 0;
    work.run([&] { workedOn = std::this_thread::get_id(); return 42; },
             [&](int value) { doneOn = std::this_thread::get_id(); got = value; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return got == 42; }, 5000));
    EXPECT_NE(workedOn, gui);
    EXPECT_EQ(doneOn, gui);
}

TEST(BackgroundWork, NothingComesBackAfterTheOwnerIsGone) {
    QObject context;
    auto work = std::make_unique<BackgroundWork>(&context);
    std::atomic<bool> started{false}, release{false};
    bool ran = false;
    work->run([&] {
        started = true;
        while (!release) std::this_thread::yield();
        return 1;
    },
              [&](int) { ran = true; });
    work->handBack([&] { ran = true; });  // queued, not yet delivered
    const BackgroundWork::Sender sender = work->sender();
    while (!started) std::this_thread::yield();
    work.reset();
    release = true;
    QThreadPool::globalInstance()->waitForDone();
    sender.post([&] { ran = true; });
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);

    // The same steps with the owner alive do arrive.
    BackgroundWork alive(&context);
    alive.sender().post([&] { ran = true; });
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace harbelle
