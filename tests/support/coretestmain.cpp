// Runs a GoogleTest suite of the libraries below the window inside a QCoreApplication: an event
// loop for their timers and the serial component, and no widgets.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
