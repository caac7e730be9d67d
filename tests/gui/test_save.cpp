// The save / export dialog: its five modes, what it asks the file dialog,
// and a save from the button to the file on disk.

#include <unistd.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>

#include "app/application.h"
#include "app/microLUM.h"
#include "app/systemdialogs.h"
#include "records/recordstore.h"
#include "print/ulumPrint.h"
#include "save/save.h"
#include "tests/files.h"
#include "tests/gui/guitest.h"
#include "tests/messagecheck.h"

namespace fs = std::filesystem;

namespace {

// Answers the file dialog with scripted names ("" = cancel) and records
// what it was asked.
class ScriptedFileDialog {
public:
    ScriptedFileDialog() {
        previous_ = setSaveFileHandler([this](const SaveFileRequest& r) {
            asked.push_back(r);
            if (names.empty()) return QString();
            QString n = names.front();
            names.erase(names.begin());
            return n;
        });
    }
    ~ScriptedFileDialog() { setSaveFileHandler(previous_); }
    std::vector<SaveFileRequest> asked;
    std::vector<QString> names;

private:
    SaveFileHandler previous_;
};

class SaveDialog : public MainWindowTest {
protected:
    template <class T>
    T* get(const char* name) {
        T* w = saveDialog()->findChild<T*>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void open(int mode) {
        saveDialog()->hide();
        saveDialogMode = mode;
        saveDialog()->show();
    }
    void clickSave() { QTest::mouseClick(get<QPushButton>("btnSave"), Qt::LeftButton); }

    ScriptedFileDialog files;
};

struct ModeCase {
    int mode;
    const char* caption;
    const char* button;
    const char* group;
    const char* radioAll;
    const char* filter;
    const char* extension;
    const char* checked;  // all / single / selected, then list / record: "+" checked
    bool formatShown;
    bool selectorEnabled;
};

TEST_F(SaveDialog, EachModePresetsItsCaptionsChoicesAndFileDialog) {
    const ModeCase cases[] = {
        {ExportCsvAll, "Export To CSV", "Export", "Items To Export", "Export All Records ",
         "Comma Separated Variables (*.csv *.CSV)", "csv", "+----", false, false},
        {ExportCsvSingle, "Export To CSV", "Export", "Items To Export", "Export All Records ",
         "Comma Separated Variables (*.csv *.CSV)", "csv", "-+---", false, true},
        {SaveTextSelected, "Save To Text File", "Save", "Items To Save", "Save All Records ",
         "Text files (*.txt *.TXT)", "txt", "--++-", true, false},
        {SaveTextSingle, "Save To Text File", "Save", "Items To Save", "Save All Records ",
         "Text files (*.txt *.TXT)", "txt", "-+--+", true, true},
        {SaveTextAll, "Save To Text File", "Save", "Items To Save", "Save All Records ",
         "Text files (*.txt *.TXT)", "txt", "+--+-", true, false},
        {9, "Save To Text File", "Save", "Items To Save", "Save All Records ",
         "Text files (*.txt *.TXT)", "txt", "+--+-", true, false},
    };
    download(3);
    currentRecord = 1;
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    const char* const radios[] = {"rdSaveAll", "rdSaveSingle", "rdSaveSelected", "rdListFormat",
                                  "rdRecordFormat"};
    // Every mode after every other, so nothing of the previous showing stays.
    for (const ModeCase& before : cases) {
        for (const ModeCase& c : cases) {
            SCOPED_TRACE(std::to_string(before.mode) + " then " + std::to_string(c.mode));
            open(before.mode);
            get<QRadioButton>("rdSaveSelected")->click();
            open(c.mode);
            EXPECT_EQ(savePending.load(), 1);
            EXPECT_EQ(ulumSaveDialog->windowTitle(), c.caption);
            EXPECT_EQ(get<QPushButton>("btnSave")->text(), c.button);
            EXPECT_EQ(get<QGroupBox>("gbSave")->title(), c.group);
            EXPECT_EQ(get<QRadioButton>("rdSaveAll")->text(), c.radioAll);
            for (int k = 0; k < 5; ++k)
                EXPECT_EQ(get<QRadioButton>(radios[k])->isChecked(), c.checked[k] == '+') << radios[k];
            EXPECT_EQ(get<QGroupBox>("gbFormat")->isVisible(), c.formatShown);
            EXPECT_EQ(get<QRadioButton>("rdRecordFormat")->isEnabled(), c.formatShown);
            EXPECT_EQ(get<QComboBox>("saveRecordSelector")->isEnabled(), c.selectorEnabled);
            EXPECT_EQ(get<QLabel>("recordLabel")->isEnabled(), c.selectorEnabled);
            EXPECT_EQ(get<QComboBox>("saveRecordSelector")->count(), 3);
            EXPECT_EQ(get<QComboBox>("saveRecordSelector")->currentText(), "2");
        }
    }
    // The file dialog is asked with the last mode's filters, and never
    // proposes a name.
    files.names = {QString()};
    open(ExportCsvSingle);
    clickSave();
    ASSERT_EQ(files.asked.size(), 1u);
    EXPECT_EQ(files.asked[0].title, "uLUM - Save File");
    EXPECT_EQ(files.asked[0].filters,
              QStringList({"Comma Separated Variables (*.csv *.CSV)", "All Files (*)"}));
    EXPECT_EQ(files.asked[0].defaultSuffix, "csv");
    EXPECT_TRUE(ulumSaveDialog->isVisible()) << "a cancelled file dialog leaves it open";
    EXPECT_TRUE(messages.asked.empty());
    // It starts in the Save folder of the current folder, or where it starts
    // by default while there is none (which it would propose as a file name).
    QTemporaryDir here;
    ASSERT_EQ(::chdir(here.path().toLocal8Bit().constData()), 0);
    for (bool made : {false, true}) {
        if (made) {
            ASSERT_TRUE(QDir(here.path()).mkdir("Save"));
        }
        open(SaveTextAll);
        clickSave();
        EXPECT_EQ(files.asked.back().startFolder, made ? here.path() + "/Save" : QString());
    }
    ASSERT_EQ(::chdir(cwd), 0);
}

TEST_F(SaveDialog, NoSelectedRecordsClosesWithoutAskingForAFile) {
    download(4);
    dataSaved = 0;
    open(SaveTextSelected);
    clickSave();
    ASSERT_EQ(messages.asked.size(), 1u);
    expectMessage(messages.asked[0], "There are no records selected.\r\rSave operation cancelled.",
                  "No Records Selected", MsgIcon::Warning, MsgButtons::Ok);
    EXPECT_TRUE(files.asked.empty());
    EXPECT_FALSE(ulumSaveDialog->isVisible());
    EXPECT_EQ(savePending.load(), 0);
    EXPECT_EQ(dataSaved.load(), 0);
}

TEST_F(SaveDialog, AFailedWriteStaysOpenAndASecondNameSavesTheChosenRecord) {
    download(5);
    dataSaved = 0;
    const fs::path dir = fs::temp_directory_path() / ("lumkest-save-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path good = dir / "record.txt";
    files.names = {QString::fromStdString((dir / "missing/record.txt").string()),
                   QString::fromStdString(good.string())};

    open(SaveTextSingle);
    get<QComboBox>("saveRecordSelector")->setCurrentIndex(3);
    clickSave();
    ASSERT_EQ(messages.asked.size(), 1u);
    expectMessage(messages.asked[0],
                  "An error occurred when writing to the file.\r\rSave operation cancelled.",
                  "File Error", MsgIcon::Warning, MsgButtons::Ok);
    EXPECT_TRUE(ulumSaveDialog->isVisible());
    EXPECT_EQ(dataSaved.load(), 0);

    clickSave();
    EXPECT_EQ(messages.asked.size(), 1u);
    EXPECT_FALSE(ulumSaveDialog->isVisible());
    EXPECT_EQ(savePending.load(), 0);
    EXPECT_EQ(dataSaved.load(), 1);
    const std::string text = readFile(good);
    EXPECT_NE(text.find("\r\nRecord #:4\r\nDevice ID: DEV-103\r\n"), std::string::npos);
    EXPECT_EQ(text.find("Record #:1"), std::string::npos);
    fs::remove_all(dir);
}

TEST_F(SaveDialog, CancelAndTheRadiosOfTheRecordSelector) {
    download(2);
    open(SaveTextAll);
    auto* selector = get<QComboBox>("saveRecordSelector");
    get<QRadioButton>("rdSaveSingle")->click();
    EXPECT_TRUE(selector->isEnabled());
    get<QRadioButton>("rdSaveSelected")->click();
    EXPECT_FALSE(selector->isEnabled());
    get<QRadioButton>("rdSaveSingle")->click();
    get<QRadioButton>("rdSaveAll")->click();
    EXPECT_FALSE(selector->isEnabled());
    QTest::mouseClick(get<QPushButton>("btnCancel"), Qt::LeftButton);
    EXPECT_FALSE(ulumSaveDialog->isVisible());
    EXPECT_EQ(savePending.load(), 0);
    EXPECT_TRUE(files.asked.empty());
}

}  // namespace

// Centred on the main window wherever it is, at every showing; the record
// selectors of the save and print windows list entries 13 pixels high.
TEST_F(SaveDialog, CentredOnTheMainWindowAtEveryShowingWithThirteenPixelEntries) {
    download(3);
    MainWindow->show();
    for (const QPoint& at : {QPoint(40, 30), QPoint(260, 180)}) {
        MainWindow->move(at);
        open(SaveTextAll);
        // Within the frames' rounding.
        const QPoint off = ulumSaveDialog->frameGeometry().center() - MainWindow->frameGeometry().center();
        EXPECT_LE(off.manhattanLength(), 4) << off.x() << ", " << off.y();
    }
    open(ExportCsvSingle);
    printDialog()->show();
    for (QComboBox* selector : {get<QComboBox>("saveRecordSelector"),
                                printWindow->findChild<QComboBox*>("printRecordSelector")}) {
        ASSERT_EQ(selector->count(), 3);
        EXPECT_EQ(selector->view()->sizeHintForRow(0), 13) << selector->objectName().toStdString();
    }
}
