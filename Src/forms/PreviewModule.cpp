// The preview window as a run-time module for tonvale-cli ("convert
// --preview"): the command-line program links no GUI library and loads this
// module only when a preview is asked for. The module makes the program's
// application object (a QApplication) and registers the window with the
// engine, whose functions it takes from the program itself.
#include "Previewer.h"

#include <QApplication>

extern "C" __attribute__((visibility("default"))) QCoreApplication*
TonvalePreviewApplication(int* argc, char** argv) {
    auto* app = new QApplication(*argc, argv);
    RegisterPreviewer();
    return app;
}
