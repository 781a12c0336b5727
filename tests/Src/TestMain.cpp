// gtest main for the media tests: a QCoreApplication lives on the main thread
// so that events the engine hands to the main thread have somewhere to go.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
