// lumkest-sim: the program with a virtual tester in place of the USB link.

#include "app/application.h"
#include "device/virtualtester.h"

int main(int argc, char** argv) {
    static VirtualTester tester;
    return runLumKest(argc, argv, &tester);
}
