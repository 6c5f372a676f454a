// GoogleTest entry for tests that need a QApplication: the offscreen platform, never a display.
// The crate libraries are pointed at a loopback port where nothing listens, so a test that
// starts a discovery without its own simulated server never reaches a crate server a person
// may be running on the default port.

#include "DeadPort.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qmxtest::pointLibrariesAtDeadPort();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
