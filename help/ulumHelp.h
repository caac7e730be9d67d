#pragma once
// The help viewer: topics read from the help folder beside the program.
// The list of topics is read once, at start-up (readTopicList), and the
// window lists it when it is built at its first showing; a topic's text is
// read again at every showing and every change of topic, so edits to a
// topic file show the next time it is shown.  The reading is
// help/helpfiles.h; this window only shows what it returns.

#include <string>
#include <vector>

#include "app/secondarywindow.h"

class QComboBox;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;

class ThelpWindow : public SecondaryWindow {
    Q_OBJECT
public:
    ThelpWindow();

    // The help folder the window reads, with a trailing '/': "help" beside
    // the executable.  Tests point it elsewhere before the window is made.
    static std::string (*helpFolder)();

    // Reads help.ini and the topics' titles from helpFolder(), replacing
    // what an earlier call read.  When reading stops at a missing or
    // unreadable file it says "Some Or All Of The Help Files Could Not Be
    // Found"; the titles read before it stay.  Runs at start-up.
    static void readTopicList();

    void FormShow();
    void cmbTopicSelectorChange();
    void btnExitHelpClick();
    void loadHelpTopic();

    QComboBox* topicSelector() const { return cmbTopicSelector; }
    QPlainTextEdit* text() const { return helpText; }
    QPushButton* exitButton() const { return btnExitHelp; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    std::string folder_;
    std::vector<std::string> helpTopicFiles;  // entry n belongs to title n of the list

    QLabel* Label1 = nullptr;
    QComboBox* cmbTopicSelector = nullptr;
    QFrame* Panel1 = nullptr;
    QPlainTextEdit* helpText = nullptr;
    QPushButton* btnExitHelp = nullptr;
};

extern ThelpWindow* helpWindow;
