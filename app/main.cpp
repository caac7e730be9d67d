// LUM Kest: the program with the USB link to a real tester.

#include "app/application.h"
#include "device/ftdidriver.h"

int main(int argc, char** argv) {
    // Never destroyed: a worker thread may still be in a driver call while
    // the process ends.
    auto* usb = new FtdiDriver;
    return runLumKest(argc, argv, usb);
}
