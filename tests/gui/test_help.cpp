// The help viewer over help folders of the tests' own making, the help that
// ships with the program, and the About box's link.

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <string>
#include <utility>
#include <vector>

#include "app/application.h"
#include "app/microLUM.h"
#include "help/about.h"
#include "help/helpfiles.h"
#include "help/ulumHelp.h"
#include "tests/gui/guitest.h"
#include "tests/messagecheck.h"
#include "ui_mainwindow.h"

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

const char* const kNotFound = "Some Or All Of The Help Files Could Not Be Found";
const char* const kNotRead = "Help File Could Not Be Read";

std::string helpFolderForTest;

void writeFile(const QString& path, const std::string& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

// Takes the questions asked so far; each must be text / "Initialization Error".
int takeMessages(ScriptedMessages& messages, const char* text) {
    for (const MessageRequest& r : messages.asked)
        expectMessage(r, text, "Initialization Error", MsgIcon::Warning, MsgButtons::Ok);
    const int n = static_cast<int>(messages.asked.size());
    messages.asked.clear();
    return n;
}

struct Showing {
    QString text;      // the text box afterwards
    bool unreadable;   // "Help File Could Not Be Read" was shown
};

Showing showAgain(ThelpWindow& w, ScriptedMessages& messages, const std::string& what) {
    w.hide();
    w.show();
    Showing s{w.text()->toPlainText(), takeMessages(messages, kNotRead) == 1};
    EXPECT_EQ(w.text()->textCursor().position(), 0) << what;  // shown from its first line
    return s;
}

Showing pick(ThelpWindow& w, ScriptedMessages& messages, int index) {
    w.topicSelector()->setCurrentIndex(index);
    emit w.topicSelector()->activated(index);
    return {w.text()->toPlainText(), takeMessages(messages, kNotRead) == 1};
}

const std::string k1021(1021, 'a');
const std::string k1022(1022, 'a');
const std::string k1023(1023, 'b');

struct HelpCase {
    const char* name;
    bool folder;            // false: no help folder at all
    Files files;
    bool startMessage;      // "Some Or All ..." while the window is made
    QStringList titles;
    int selected;
    QString shown;          // at the first showing ...
    bool shownUnreadable;   // ... and whether it said "Help File Could Not Be Read"
    int pickIndex;          // then the user picks this title (-1: no pick) ...
    QString picked;         // ... and reads this
    Files edit;             // then these files are rewritten and the window shown again ...
    QString edited;         // ... showing this
};

}  // namespace

TEST(HelpViewer, FoldersOfTopics) {
    const std::string fiveListed = "Help topics\na.txt\nb.txt\nc.txt\nd.txt\ne.txt\n";
    const Files fourOfFive = {{"help.ini", fiveListed}, {"a.txt", "Alpha\nfirst\n"},
                              {"b.txt", "Beta\nsecond"}, {"d.txt", "Delta\n"},
                              {"e.txt", "Echo\n"}};
    const HelpCase cases[] = {
        {"no help folder", false, {}, true, {}, -1, "", true, -1, "", {}, ""},
        {"third of five topic files missing", true, fourOfFive, true, {"Alpha", "Beta"}, -1, "",
         true, 1, "Beta\nsecond", {}, ""},
        {"blank last line of help.ini", true,
         {{"help.ini", "Help topics\r\na.txt\r\n\r\n"}, {"a.txt", "Alpha\r\nfirst\r\n"}}, true,
         {"Alpha"}, -1, "", true, 0, "Alpha\nfirst", {}, ""},
        {"help.ini of one line", true, {{"help.ini", "Help topics\n"}}, false, {}, -1, "", true,
         -1, "", {}, ""},
        {"help.ini without any line", true, {{"help.ini", ""}}, false, {}, -1, "", true, -1, "",
         {}, ""},
        // Pieces of 1022: exactly 1022 characters leave an empty piece
        // behind, 1023 continue on the next line; CR LF is one line end.
        {"lines of 1022 and 1023 characters", true,
         {{"help.ini", "Help topics\nlong.txt\nshort.txt"},
          {"long.txt", "Long\r\n" + k1022 + "\r\n" + k1023 + "\r\nend\r\n"},
          {"short.txt", "Short\n\n  indented\n"}},
         false, {"Long", "Short"}, 0,
         QString::fromStdString("Long\n" + k1022 + "\n\n" + k1023.substr(0, 1022) + "\nb\nend"),
         false, 1, "Short\n\n  indented", {}, ""},
        // A long UTF-8 line is cut before the character that would not fit
        // whole; a Latin-1 line at the full length.
        {"long lines cut between characters", true,
         {{"help.ini", "Help topics\nutf8.txt\n"},
          {"utf8.txt", "Caf\xc3\xa9s\n" + k1021 + "\xc3\xa9 end\n" + k1021 + "\xe9x\n"}},
         false, {QString::fromStdString("Caf\xc3\xa9s")}, 0,
         QString::fromStdString("Caf\xc3\xa9s\n" + k1021 + "\n\xc3\xa9 end\n" + k1021 + "\xc3\xa9\nx"),
         false, -1, "", {}, ""},
        {"an edited topic shows at the next showing", true,
         {{"help.ini", "Help topics\na.txt\n"}, {"a.txt", "Alpha\nold text\n"}}, false, {"Alpha"},
         0, "Alpha\nold text", false, -1, "", {{"a.txt", "Alpha\nnew text\nmore\n"}},
         "Alpha\nnew text\nmore"},
    };
    ScriptedMessages messages;
    auto previousFolder = ThelpWindow::helpFolder;
    ThelpWindow::helpFolder = [] { return helpFolderForTest; };
    for (const HelpCase& c : cases) {
        const std::string what = c.name;
        QTemporaryDir root;
        ASSERT_TRUE(root.isValid());
        const QString folder = root.filePath(QStringLiteral("help"));
        helpFolderForTest = helpFolderIn(root.path().toStdString());
        if (c.folder) {
            ASSERT_TRUE(QDir().mkpath(folder));
        }
        for (const auto& [name, bytes] : c.files)
            writeFile(folder + '/' + QString::fromStdString(name), bytes);

        ThelpWindow::readTopicList();  // at start-up, before the window is built
        EXPECT_EQ(takeMessages(messages, kNotFound), c.startMessage ? 1 : 0) << what;
        ThelpWindow w;
        EXPECT_TRUE(messages.asked.empty()) << what;
        QStringList titles;
        for (int i = 0; i < w.topicSelector()->count(); ++i) titles << w.topicSelector()->itemText(i);
        EXPECT_EQ(titles, c.titles) << what;
        EXPECT_EQ(w.topicSelector()->currentIndex(), c.selected) << what;

        Showing first = showAgain(w, messages, what);
        EXPECT_EQ(first.text, c.shown) << what;
        EXPECT_EQ(first.unreadable, c.shownUnreadable) << what;
        if (c.pickIndex >= 0) {
            Showing picked = pick(w, messages, c.pickIndex);
            EXPECT_EQ(picked.text, c.picked) << what;
            EXPECT_FALSE(picked.unreadable) << what;
        }
        if (!c.edit.empty()) {
            for (const auto& [name, bytes] : c.edit)
                writeFile(folder + '/' + QString::fromStdString(name), bytes);
            Showing again = showAgain(w, messages, what);
            EXPECT_EQ(again.text, c.edited) << what;
            EXPECT_FALSE(again.unreadable) << what;
            EXPECT_TRUE(w.isVisible()) << what;
        }
        w.btnExitHelpClick();
        EXPECT_FALSE(w.isVisible()) << what;
    }
    ThelpWindow::helpFolder = previousFolder;
}

using ShippedHelp = MainWindowTest;

// The help that ships: every listed topic is there, opens with its title,
// and keeps its lines well inside one piece, so paragraphs wrap as written.
TEST_F(ShippedHelp, EveryTopicOpensWithItsTitle) {
    EXPECT_TRUE(messages.asked.empty());
    QComboBox* topics = helpViewer()->topicSelector();
    ASSERT_GE(topics->count(), 10);
    MainWindow->ui()->Help1->trigger();
    ASSERT_TRUE(helpWindow->isVisible());
    for (int i = 0; i < topics->count(); ++i) {
        pick(*helpWindow, messages, i);
        const QStringList lines = helpWindow->text()->toPlainText().split('\n');
        EXPECT_EQ(lines.first(), topics->itemText(i));
        // A line as long as a piece has been split in two.
        for (const QString& line : lines)
            EXPECT_LT(static_cast<std::size_t>(line.size()), kHelpTopicPiece) << line.toStdString();
    }
    EXPECT_TRUE(messages.asked.empty());

    // From the topic list, Page Down and Ctrl+End scroll a long topic, Page
    // Up and Ctrl+Home back; the arrows change the topic.
    QScrollBar* bar = helpWindow->text()->verticalScrollBar();
    for (int i = 0; i < topics->count() && bar->maximum() <= bar->pageStep(); ++i)
        pick(*helpWindow, messages, i);
    const int topic = topics->currentIndex();
    for (auto [key, modifier] : {std::pair{Qt::Key_PageDown, Qt::NoModifier},
                                 {Qt::Key_End, Qt::ControlModifier}, {Qt::Key_PageUp, Qt::NoModifier},
                                 {Qt::Key_Home, Qt::ControlModifier}}) {
        const int before = bar->value();
        QTest::keyClick(topics, key, modifier);
        EXPECT_EQ(bar->value() > before, key == Qt::Key_PageDown || key == Qt::Key_End) << key;
    }
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(topics->currentIndex(), topic);
    QTest::keyClick(topics, topic > 0 ? Qt::Key_Up : Qt::Key_Down);
    EXPECT_NE(topics->currentIndex(), topic);
}

using AboutBox = MainWindowTest;

TEST_F(AboutBox, LinkIsRedWhileHeldAndOpensOnALeftClick) {
    std::vector<QString> opened;
    auto previousOpen = TfrmAbout::openWebAddress;
    TfrmAbout::openWebAddress = [&opened](const QString& address) { opened.push_back(address); };
    MainWindow->ui()->About2->trigger();
    ASSERT_TRUE(frmAbout->isVisible());
    EXPECT_EQ(frmAbout->findChild<QLabel*>("Label1")->text(), "LUM Kest");
    EXPECT_EQ(frmAbout->findChild<QLabel*>("Label2")->text(), "Version 1.0.2.0");

    QLabel* link = frmAbout->webLink();
    auto colour = [link] { return link->palette().color(QPalette::WindowText); };
    const QColor red(255, 0, 0), blue(0, 0, 255);
    const QPoint inside = link->rect().center();
    const QPoint outside(link->width() + 20, link->height() / 2);
    struct Press {
        const char* name;
        Qt::MouseButton button;
        QPoint releaseAt;
        bool opens;
    } presses[] = {
        {"left click", Qt::LeftButton, inside, true},
        {"right click", Qt::RightButton, inside, false},
        {"left press released off the link", Qt::LeftButton, outside, false},
    };
    EXPECT_EQ(colour(), blue);
    for (const Press& p : presses) {
        opened.clear();
        QTest::mousePress(link, p.button, Qt::NoModifier, inside);
        EXPECT_EQ(colour(), red) << p.name;
        EXPECT_TRUE(opened.empty()) << p.name;  // nothing opens while the button is held
        QTest::mouseRelease(link, p.button, Qt::NoModifier, p.releaseAt);
        EXPECT_EQ(colour(), blue) << p.name;
        EXPECT_EQ(opened, p.opens ? std::vector<QString>{link->text()} : std::vector<QString>{})
            << p.name;
        EXPECT_TRUE(frmAbout->isVisible()) << p.name;
    }
    EXPECT_EQ(link->text(), "www.korvane.example.com");
    opened.clear();
    QTest::keyClick(link, Qt::Key_Return);  // the keyboard's way to follow it
    EXPECT_EQ(opened, std::vector<QString>{link->text()});

    frmAbout->okButton()->click();
    EXPECT_FALSE(frmAbout->isVisible());
    MainWindow->ui()->About2->trigger();
    EXPECT_TRUE(frmAbout->isVisible());
    EXPECT_EQ(colour(), blue);
    TfrmAbout::openWebAddress = previousOpen;
}
