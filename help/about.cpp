#include "help/about.h"

TfrmAbout* frmAbout = nullptr;

TfrmAbout::TfrmAbout() : SecondaryWindow(QStringLiteral("About"), 320, 200) {
    setObjectName(QStringLiteral("frmAbout"));
}
