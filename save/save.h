#pragma once
// The save / export dialog.  Shown modeless by the main window's commands and
// by the clock timer when the command thread asks for a save before new data
// replaces the current records; savePending tells that thread it is open.
// saveDialogMode, set by the caller just before showing it, decides whether
// it exports CSV or saves text, and which choices are preset.

#include <QString>
#include <QStringList>

#include "app/secondarywindow.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

class TulumSaveDialog : public SecondaryWindow {
    Q_OBJECT
public:
    TulumSaveDialog();

    void FormShow();  // savePending = 1, then prepares the dialog for saveDialogMode
    void FormHide();  // savePending = 0: releases a waiting command thread
    void btnSaveClick();
    void btnCancelClick();
    void rdSaveAllClick();
    void rdSaveSelectedClick();
    void rdSaveSingleClick();
    void presetSaveFolder();  // the file dialog starts in ./Save and proposes no name

    // What the file dialog is asked with: its starting folder and filters.
    QString saveFolder() const { return saveFolder_; }
    QStringList fileFilters() const { return filters_; }
    QString defaultExtension() const { return defaultExt_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void enableRecordSelector(bool on);

    QGroupBox* gbSave_;
    QRadioButton* rdSaveAll_;
    QRadioButton* rdSaveSelected_;
    QRadioButton* rdSaveSingle_;
    QLabel* recordLabel_;
    QComboBox* saveRecordSelector_;
    QGroupBox* gbFormat_;
    QRadioButton* rdListFormat_;
    QRadioButton* rdRecordFormat_;
    QPushButton* btnSave_;
    QPushButton* btnCancel_;

    QString saveFolder_;
    QString defaultExt_;
    QStringList filters_;
};

extern TulumSaveDialog* ulumSaveDialog;
