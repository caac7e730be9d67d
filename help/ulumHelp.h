#pragma once
// The help viewer: topics read from the help folder beside the program.

#include "app/secondarywindow.h"

class ThelpWindow : public SecondaryWindow {
    Q_OBJECT
public:
    ThelpWindow();
};

extern ThelpWindow* helpWindow;
