#pragma once
// The About box: the program's name and version.

#include "app/secondarywindow.h"

class TfrmAbout : public SecondaryWindow {
    Q_OBJECT
public:
    TfrmAbout();
};

extern TfrmAbout* frmAbout;
