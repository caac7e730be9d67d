// LUM Kest: the program with the USB link to a real tester.

#include "app/application.h"
#include "device/ftdidriver.h"

int main(int argc, char** argv) {
    static FtdiDriver usb;
    return runLumKest(argc, argv, &usb);
}
