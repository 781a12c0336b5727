// tonvale: starts the main window and runs until it closes. One window per user: a
// later start hands the drive it was given to the running window, which comes to the
// front, and ends.
#include "DriveArgument.h"
#include "FileNames.h"
#include "SingleInstance.h"
#include "UnitMain.h"
#include "sbDialogs.h"
#include "sbLogger.h"

#include <QApplication>
#include <QIcon>
#include <QScreen>
#include <QStringList>

#include <cstdio>
#include <cstring>

namespace {

void PrintHelp() {
    std::printf(
        "Usage: tonvale [OPTION]... [DRIVE]\n"
        "Tonvale, the audio-CD ripper: lists the audio tracks of the disc in the drive and\n"
        "turns the checked tracks into WAV, MP3, AAC, WMA or OGG files.\n"
        "\n"
        "DRIVE selects the drive whose disc is listed, before the others:\n"
        "  /dev/sr1, /dev/cdrom   a drive's device\n"
        "  cdda://sr1             the address a file manager gives an audio CD\n"
        "  FOLDER                 the folder where a disc's data session is mounted\n"
        "  IMAGE.cue              a virtual drive's disc image (see TONVALE_VIRTUAL_DRIVES)\n"
        "Without DRIVE the first drive with an audio disc is listed.\n"
        "\n"
        "One window runs per user and display: a second start brings the running window\n"
        "to the front and has it select DRIVE, then ends.\n"
        "\n"
        "Options:\n"
        "  -h, --help     show this help and end\n"
        "      --version  show the version and end\n"
        "Qt's own options (-platform NAME, -display DISPLAY, ...) are accepted as well.\n"
        "\n"
        "Exit status:\n"
        "  0  the window was closed, or the running window took over\n"
        "  1  a window runs but does not answer\n"
        "  2  bad usage (an unknown option, more than one DRIVE)\n");
}

int UsageError(const QString& text) {
    std::fprintf(stderr, "tonvale: %s\nTry 'tonvale --help'.\n", FileNameBytes(text).constData());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    // Help and version need no display.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            PrintHelp();
            return 0;
        }
        if (!std::strcmp(argv[i], "--version")) {
            std::printf("tonvale %s\n", TONVALE_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv); // takes Qt's own options out of argv
    QApplication::setApplicationName(QStringLiteral("Tonvale"));
    QApplication::setApplicationVersion(QStringLiteral(TONVALE_VERSION));
    // The menu entry's name: desktops match the window to its entry and icon by it.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brisklane.Tonvale"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/tonvale/tonvale.svg")));

    QStringList drives;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const QString arg = FileNameFromBytes(argv[i]);
        if (options && arg == QLatin1String("--"))
            options = false;
        else if (options && arg.startsWith(QLatin1Char('-')) && arg.size() > 1)
            return UsageError(QStringLiteral("unknown option '%1'").arg(arg));
        else
            drives << arg;
    }
    if (drives.size() > 1)
        return UsageError(QStringLiteral("one drive at most, not %1").arg(drives.size()));
    QString device;
    if (!drives.isEmpty()) {
        const TDriveArgument drive = ResolveDriveArgument(drives[0]);
        if (drive.Device.isEmpty())
            std::fprintf(stderr, "tonvale: %s; the first drive with an audio disc is listed\n",
                         FileNameBytes(drive.Error).constData());
        device = drive.Device;
    }

    TSingleInstance instance;
    switch (instance.Claim(device)) {
    case TSingleInstance::TClaim::HandedOver:
        return 0;
    case TSingleInstance::TClaim::Failed:
        std::fprintf(stderr, "tonvale: %s\n", qUtf8Printable(instance.Error()));
        return 1;
    case TSingleInstance::TClaim::First:
        if (!instance.Error().isEmpty())
            std::fprintf(stderr, "tonvale: %s\n", qUtf8Printable(instance.Error()));
        break;
    }

    sbdlg::InstallDriveForms(); // the version warning below is a box already
    CheckLibraryVersion();
    TfrmMain window;
    // Centred on the screen.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        window.move(area.x() + (area.width() - window.width()) / 2,
                    area.y() + (area.height() - window.height()) / 2);
    }
    if (!device.isEmpty())
        window.SelectDrive(device);
    QObject::connect(
        &instance, &TSingleInstance::Activated, &window, [&window](const QString& asked) {
            std::fprintf(stderr, "tonvale: a later start asked for the window%s%s\n",
                         asked.isEmpty() ? "" : ", drive ", FileNameBytes(asked).constData());
            if (!asked.isEmpty())
                window.SelectDrive(asked);
            BringToFront(&window);
        });
    InstallStopSignals(&window);
    window.show();
    const int code = app.exec();
    InstallStopSignals(nullptr);
    return code;
}
