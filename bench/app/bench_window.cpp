// Drives the main window as the tests do (offscreen, boxes answered through the
// seam): waits for the disc in TONVALE_VIRTUAL_DRIVES to be listed, chooses a
// format and preset and an output folder, presses Convert and prints the run's
// wall time in seconds (from the press to the idle window).
//
//   tonvale-bench-window OUTDIR [FORMAT_INDEX [PRESET_INDEX]]   (default MP3, Standard)
#include "UnitMain.h"
#include "sbDialogs.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTableWidget>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {
bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tonvale-bench-window OUTDIR [FORMAT_INDEX [PRESET_INDEX]]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString out = QDir(QFile::decodeName(argv[1])).absolutePath() + QLatin1Char('/');
    const int format = argc > 2 ? std::atoi(argv[2]) : 1;
    const int preset = argc > 3 ? std::atoi(argv[3]) : 2;
    QDir().mkpath(out);

    sbdlg::SetMessageBoxHandler([](const sbdlg::MessageBoxRequest& box) {
        std::fprintf(stderr, "box: %s\n", box.Text.toUtf8().constData());
        return QMessageBox::Cancel;
    });
    sbdlg::SetFolderDialogHandler([&out](const QString&, const QString&) { return out; });

    TfrmMain window;
    window.show();
    if (!WaitUntil([&] { return window.lvInput->rowCount() > 0 && window.RunningWorkers() == 0; },
                   60000)) {
        std::fprintf(stderr, "the disc was not listed\n");
        return 1;
    }
    window.actBrowseExecute();
    window.cbFormats->setCurrentIndex(format);
    window.cbPresets->setCurrentIndex(preset);

    QElapsedTimer timer;
    timer.start();
    window.bbConvert->click(); // returns when the run has ended
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    WaitUntil([&] { return window.RunningWorkers() == 0; }, 60000);
    std::printf("%.3f\n", seconds);
    return 0;
}
