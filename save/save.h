#pragma once
// The save / export dialog.  Shown modeless by the main window's commands and
// by the clock timer when the command thread asks for a save before new data
// replaces the current records; savePending tells that thread it is open.

#include "app/secondarywindow.h"

class QPushButton;

class TulumSaveDialog : public SecondaryWindow {
    Q_OBJECT
public:
    TulumSaveDialog();

    void FormShow();  // savePending = 1, then prepares the dialog for saveDialogMode
    void FormHide();  // savePending = 0: releases a waiting command thread
    void btnCancelClick();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QPushButton* btnCancel_;
};

extern TulumSaveDialog* ulumSaveDialog;
