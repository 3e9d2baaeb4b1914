// Integration tests: a real X server (scripts/x11-session.sh provides one).
#include <gtest/gtest.h>

#include <QApplication>

#include "platform/linux/NonGlibEventDispatcher.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // InitGoogleTest has taken its own flags out of argv: ask it whether this is test discovery.
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        // Not inside the private desktop: nothing here can run.
        ::testing::GTEST_FLAG(filter) = "-*";
        std::fprintf(stderr, "No DISPLAY: run these tests through scripts/x11-session.sh\n");
        return RUN_ALL_TESTS();
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    // As in the program: AT-SPI's handlers run on its worker only.
    harbelle::NonGlibEventDispatcher dispatcherChoice;
    QApplication app(argc, argv);
    dispatcherChoice.restore();
    return RUN_ALL_TESTS();
}
