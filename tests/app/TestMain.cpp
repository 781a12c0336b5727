// gtest main for the application: a QApplication on the offscreen platform and
// settings folders of the test's own, so that no test reads or writes the
// user's configuration.
#include "AppTestUtil.h"

#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.filePath(QStringLiteral("home"))));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(config.filePath(QStringLiteral("system"))));
    QApplication app(argc, argv);
    apptest::Boxes().Install();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
