#pragma once
// The print dialog: which records to print and in which layout.

#include "app/secondarywindow.h"

class TprintWindow : public SecondaryWindow {
    Q_OBJECT
public:
    TprintWindow();
};

extern TprintWindow* printWindow;
