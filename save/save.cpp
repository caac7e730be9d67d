#include "save/save.h"

#include <unistd.h>

#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <algorithm>
#include <climits>

#include "app/dialogcontrols.h"
#include "app/fonts.h"
#include "app/guard.h"
#include "app/messages.h"
#include "app/microLUM.h"
#include "app/recordselector.h"
#include "app/systemdialogs.h"
#include "records/recordstore.h"
#include "save/savefile.h"

TulumSaveDialog* ulumSaveDialog = nullptr;

namespace {

struct ModeTexts {
    const char* caption;
    const char* extension;
    const char* filter;
    const char* button;
    const char* group;
    const char* all;
    const char* single;
    const char* selected;
};

// Each filter lists its extension in both cases, as Linux names are
// case-sensitive: x.csv and X.CSV both show.
const ModeTexts kCsvTexts = {"Export To CSV", "csv", "Comma Separated Variables (*.csv *.CSV)",
                             "Export", "Items To Export", "Export All Records ",
                             "Export Single Record ", "Export Selected Records "};
const ModeTexts kTextTexts = {"Save To Text File", "txt", "Text files (*.txt *.TXT)", "Save",
                              "Items To Save", "Save All Records ", "Save Single Record ",
                              "Save Selected Records "};

bool isCsvMode(int mode) { return mode == ExportCsvAll || mode == ExportCsvSingle; }

// Checks or unchecks a radio button; an exclusive radio cannot otherwise be
// unchecked, and the CSV modes leave both format radios unchecked.
void setRadio(QRadioButton* radio, bool on) {
    radio->setAutoExclusive(false);
    radio->setChecked(on);
    radio->setAutoExclusive(true);
}

// Widens a radio button whose caption does not fit its designed width, as
// far as its group box allows; the platform's indicator is wider than the
// design assumed.
void fitCaption(QRadioButton* radio) {
    const int room = radio->parentWidget()->width() - radio->x() - 2;
    radio->resize(std::min(std::max(radio->width(), radio->sizeHint().width()), room), radio->height());
}

// Marks a save as running from the file dialog to the end of the write.
class SaveInProgress {
public:
    SaveInProgress() : previous_(saveInProgress.exchange(1)) {}
    ~SaveInProgress() { saveInProgress = previous_; }
    SaveInProgress(const SaveInProgress&) = delete;
    SaveInProgress& operator=(const SaveInProgress&) = delete;

private:
    int previous_;
};

// A radio button whose caption comes with the mode at each showing.
QRadioButton* radio(QWidget* parent, const char* name, QRect geometry) {
    return makeControl<QRadioButton>(parent, name, QString(), QString(), geometry);
}

}  // namespace

TulumSaveDialog::TulumSaveDialog() : SecondaryWindow(QStringLiteral("Save To Text File"), 347, 120) {
    setObjectName(QStringLiteral("ulumSaveDialog"));
    setFont(dialogFont(11));

    gbSave_ = makeGroup(this, "gbSave", QString(), QString(), QRect(8, 4, 160, 109));
    rdSaveAll_ = radio(gbSave_, "rdSaveAll", QRect(8, 24, 113, 17));
    rdSaveSelected_ = radio(gbSave_, "rdSaveSelected", QRect(8, 42, 137, 17));
    rdSaveSingle_ = radio(gbSave_, "rdSaveSingle", QRect(8, 60, 145, 17));
    saveRecordSelector_ = makeRecordSelector(gbSave_, "saveRecordSelector", &recordLabel_);

    gbFormat_ = makeGroup(this, "gbFormat", QStringLiteral("Format "), QString(),
                          QRect(180, 4, 160, 67));
    rdListFormat_ = radio(gbFormat_, "rdListFormat", QRect(8, 24, 113, 17));
    rdListFormat_->setText(QStringLiteral("List Format "));
    rdRecordFormat_ = radio(gbFormat_, "rdRecordFormat", QRect(8, 42, 145, 17));
    rdRecordFormat_->setText(QStringLiteral("Individual Record Format "));
    fitCaption(rdListFormat_);
    fitCaption(rdRecordFormat_);

    btnSave_ = makeControl<QPushButton>(this, "btnSave", QStringLiteral("Save"), QString(),
                                        QRect(181, 80, 70, 25));
    btnCancel_ = makeControl<QPushButton>(this, "btnCancel", QStringLiteral("Cancel"), QString(),
                                          QRect(265, 80, 70, 25));

    setTabOrder(rdSaveAll_, rdSaveSingle_);
    setTabOrder(rdSaveSingle_, rdSaveSelected_);
    setTabOrder(rdSaveSelected_, saveRecordSelector_);
    setTabOrder(saveRecordSelector_, rdListFormat_);
    setTabOrder(rdListFormat_, rdRecordFormat_);
    setTabOrder(rdRecordFormat_, btnSave_);
    setTabOrder(btnSave_, btnCancel_);

    connect(btnSave_, &QPushButton::clicked, this, &TulumSaveDialog::btnSaveClick);
    connect(btnCancel_, &QPushButton::clicked, this, &TulumSaveDialog::btnCancelClick);
    connect(rdSaveAll_, &QRadioButton::clicked, this, &TulumSaveDialog::rdSaveAllClick);
    connect(rdSaveSelected_, &QRadioButton::clicked, this, &TulumSaveDialog::rdSaveSelectedClick);
    connect(rdSaveSingle_, &QRadioButton::clicked, this, &TulumSaveDialog::rdSaveSingleClick);
}

void TulumSaveDialog::FormShow() {
    guarded("save", 10, [this] {
        savePending = 1;
        const int mode = saveDialogMode;
        const bool csv = isCsvMode(mode);
        const ModeTexts& t = csv ? kCsvTexts : kTextTexts;
        setWindowTitle(QLatin1String(t.caption));
        defaultExt_ = QLatin1String(t.extension);
        filters_ = QStringList{QLatin1String(t.filter), QStringLiteral("All Files (*)")};
        btnSave_->setText(QLatin1String(t.button));
        for (QRadioButton* r : {rdSaveAll_, rdSaveSelected_, rdSaveSingle_}) r->setEnabled(true);
        rdListFormat_->setEnabled(!csv);
        rdRecordFormat_->setEnabled(!csv);
        gbFormat_->setEnabled(!csv);
        gbFormat_->setVisible(!csv);
        gbSave_->setEnabled(true);
        gbSave_->setTitle(QLatin1String(t.group));

        const bool single = mode == ExportCsvSingle || mode == SaveTextSingle;
        const bool selected = mode == SaveTextSelected;
        setRadio(rdSaveAll_, !single && !selected);
        setRadio(rdSaveSingle_, single);
        setRadio(rdSaveSelected_, selected);
        setRadio(rdListFormat_, !csv && mode != SaveTextSingle);
        setRadio(rdRecordFormat_, mode == SaveTextSingle);

        rdSaveAll_->setText(QLatin1String(t.all));
        rdSaveSingle_->setText(QLatin1String(t.single));
        rdSaveSelected_->setText(QLatin1String(t.selected));
        for (QRadioButton* r : {rdSaveAll_, rdSaveSingle_, rdSaveSelected_}) fitCaption(r);
        enableRecordSelector(single);
        saveRecordSelector_->setCurrentIndex(-1);

        fillRecordSelector(saveRecordSelector_);
        btnSave_->setFocus();
        presetSaveFolder();
    });
}

void TulumSaveDialog::FormHide() {
    guarded("save", 20, [] { savePending = 0; });
}

void TulumSaveDialog::presetSaveFolder() {
    // The Save folder of the current folder, where it exists; the file
    // dialog's own default otherwise.  The folder is never created.
    char cwd[PATH_MAX];
    saveFolder_ = ::getcwd(cwd, sizeof cwd) ? QFile::decodeName(cwd) + QStringLiteral("/Save")
                                            : QString();
    if (!QFileInfo(saveFolder_).isDir()) saveFolder_.clear();
}

void TulumSaveDialog::btnSaveClick() {
    guarded("save", 30, [this] {
        if (rdSaveSelected_->isEnabled() && rdSaveSelected_->isChecked() &&
            !recordStore().anySelected()) {
            showMessage(MsgId::NothingSelectedToSave, "There are no records selected.\r\rSave operation cancelled.",
                        "No Records Selected", MsgIcon::Warning, MsgButtons::Ok);
            closeToMainWindow();
            return;
        }

        // What is chosen now is what is written, whatever happens while the
        // file dialog is open; and while it is open and the file is written,
        // the records stay as they are and no other save takes the dialog.
        // An empty record selector (no records shown) has no index: then all
        // the records, that is none, are written.
        const int mode = saveDialogMode;
        const int index = saveRecordSelector_->currentIndex();
        ChosenRecords choice = AllRecords;
        if (rdSaveSelected_->isChecked())
            choice = SelectedRecords;
        else if (!rdSaveAll_->isChecked() && index >= 0)
            choice = ChosenRecords::one(static_cast<std::size_t>(index));
        const bool recordFormat = rdRecordFormat_->isChecked();
        const SaveFileRequest request{QStringLiteral("uLUM - Save File"), saveFolder_, filters_,
                                      defaultExt_};
        const bool csv = isCsvMode(mode);
        const bool text = mode == SaveTextSelected || mode == SaveTextSingle || mode == SaveTextAll;
        SaveResult result = SaveResult::Nothing;
        {
            SaveInProgress saving;
            const QString chosen = askSaveFileName(request);
            if (chosen.isEmpty()) return;  // cancelled: the dialog stays as it is
            const std::string fileName = QFile::encodeName(chosen).toStdString();
            if (csv)
                result = writeCsvFile(fileName, choice);
            else if (text)
                result = writeTextFile(fileName, choice, recordFormat);
        }
        if (!csv && !text) {
            showMessage(MsgId::InvalidState, "Program is in an invalid state.\r\rSave operation cancelled.",
                        "Internal Error", MsgIcon::Warning, MsgButtons::Ok);
            closeToMainWindow();
            return;
        }
        if (result == SaveResult::Done) {
            closeToMainWindow();
        } else if (result == SaveResult::Failed) {
            showMessage(MsgId::FileError, "An error occurred when writing to the file.\r\rSave operation cancelled.",
                        "File Error", MsgIcon::Warning, MsgButtons::Ok);
        }
    });
}

void TulumSaveDialog::btnCancelClick() {
    guarded("save", 40, [this] { closeToMainWindow(); });
}

void TulumSaveDialog::rdSaveAllClick() {
    guarded("save", 50, [this] { enableRecordSelector(false); });
}

void TulumSaveDialog::rdSaveSelectedClick() {
    guarded("save", 51, [this] { enableRecordSelector(false); });
}

void TulumSaveDialog::rdSaveSingleClick() {
    guarded("save", 52, [this] { enableRecordSelector(true); });
}

void TulumSaveDialog::enableRecordSelector(bool on) {
    recordLabel_->setEnabled(on);
    saveRecordSelector_->setEnabled(on);
}

void TulumSaveDialog::showEvent(QShowEvent* event) {
    SecondaryWindow::showEvent(event);
    if (event->spontaneous()) return;
    centreOn(MainWindow);
    FormShow();
}

void TulumSaveDialog::hideEvent(QHideEvent* event) {
    SecondaryWindow::hideEvent(event);
    if (!event->spontaneous()) FormHide();
}
