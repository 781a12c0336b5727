// tonvale: starts the main window and runs until it closes.
#include "UnitMain.h"

#include <QApplication>

int main(int argc, char** argv) {
    return TonvaleMain(argc, argv);
}
