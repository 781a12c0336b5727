// gtest main for the drive-layer classes: a QApplication on the main thread (the
// tests run on the offscreen platform) so that the layer's waits can process
// events and its dialogs can be created. Message boxes never block a test: they
// are written to stderr.
#include "sbDialogs.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    sbdlg::InstallDriveForms();
    sbdlg::SetMessageBoxHandler([](const sbdlg::MessageBoxRequest& box) {
        std::fprintf(stderr, "message box: %s\n", box.Text.toUtf8().constData());
        return QMessageBox::Ok;
    });
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
