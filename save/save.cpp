#include "save/save.h"

#include <QPushButton>
#include <QShowEvent>

#include "app/guard.h"
#include "records/recordstore.h"

TulumSaveDialog* ulumSaveDialog = nullptr;

TulumSaveDialog::TulumSaveDialog() : SecondaryWindow(QStringLiteral("Save To Text File"), 347, 120) {
    setObjectName(QStringLiteral("ulumSaveDialog"));
    btnCancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel_->setObjectName(QStringLiteral("btnCancel"));
    btnCancel_->setGeometry(265, 80, 70, 25);
    connect(btnCancel_, &QPushButton::clicked, this, &TulumSaveDialog::btnCancelClick);
}

void TulumSaveDialog::FormShow() {
    guarded("save", 10, [this] {
        savePending = 1;
        bool csv = saveDialogMode == ExportCsvAll || saveDialogMode == ExportCsvSingle;
        setWindowTitle(csv ? QStringLiteral("Export To CSV") : QStringLiteral("Save To Text File"));
    });
}

void TulumSaveDialog::FormHide() {
    guarded("save", 20, [] { savePending = 0; });
}

void TulumSaveDialog::btnCancelClick() {
    guarded("save", 30, [this] {
        hide();
        if (parentWidget()) parentWidget()->activateWindow();
    });
}

void TulumSaveDialog::showEvent(QShowEvent* event) {
    SecondaryWindow::showEvent(event);
    if (!event->spontaneous()) FormShow();
}

void TulumSaveDialog::hideEvent(QHideEvent* event) {
    SecondaryWindow::hideEvent(event);
    if (!event->spontaneous()) FormHide();
}
