#include "help/ulumHelp.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShowEvent>
#include <QStringDecoder>
#include <QStringList>

#include "app/fixedheightitems.h"
#include "app/fonts.h"
#include "app/guard.h"
#include "app/messages.h"
#include "app/microLUM.h"
#include "help/helpfiles.h"

ThelpWindow* helpWindow = nullptr;

namespace {

constexpr int kClientWidth = 588;
constexpr int kClientHeight = 472;

std::string programHelpFolder() {
    return helpFolderIn(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString());
}

// Help files are 8-bit text: UTF-8 where they are valid UTF-8 (as a Linux
// editor writes them), otherwise Latin-1.
QString helpLineText(const std::string& line) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(line.data(), static_cast<qsizetype>(line.size())));
    return utf8.hasError() ? latin1Text(line) : text;
}

void showReadError(const char* text) {
    showMessage(MsgId::HelpInitialisationError, text, "Initialization Error", MsgIcon::Warning, MsgButtons::Ok);
}

// What readTopicList read, and where: the window lists it when it is built.
struct TopicList {
    std::string folder;
    HelpIndex index;
};

TopicList& topicList() {
    static TopicList list;
    return list;
}

}  // namespace

std::string (*ThelpWindow::helpFolder)() = programHelpFolder;

void ThelpWindow::readTopicList() {
    guarded("ulumHelp", 10, [] {
        TopicList& list = topicList();
        list = TopicList();
        list.folder = helpFolder();
        list.index = readHelpIndex(list.folder);
        if (!list.index.complete) showReadError("Some Or All Of The Help Files Could Not Be Found");
    });
}

ThelpWindow::ThelpWindow() : SecondaryWindow(QStringLiteral("Help"), kClientWidth, kClientHeight) {
    setObjectName(QStringLiteral("helpWindow"));

    Label1 = new QLabel(QStringLiteral("Please Select A Topic From The Drop-Down List Below"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(dialogFont(13));
    Label1->adjustSize();
    Label1->move((kClientWidth - Label1->width()) / 2, 8);

    cmbTopicSelector = new QComboBox(this);
    cmbTopicSelector->setObjectName(QStringLiteral("cmbTopicSelector"));
    cmbTopicSelector->setAccessibleName(QStringLiteral("Help Topic"));
    cmbTopicSelector->setFont(dialogFont(13));
    cmbTopicSelector->setItemDelegate(new FixedHeightItems(16, cmbTopicSelector));
    cmbTopicSelector->setGeometry((kClientWidth - 225) / 2, 30, 225, 22);
    Label1->setBuddy(cmbTopicSelector);

    // The designed panel is disabled so that its text box takes no focus and
    // no selection.  A disabled Qt widget would also grey the text, stop its
    // scroll bar and read as unavailable to screen readers, so the text box
    // is made inert instead: read-only, no focus, no text interaction.  Its
    // scroll bar and the mouse wheel still move through a long topic.
    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setAccessibleName(QStringLiteral("Help Text Panel"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setGeometry((kClientWidth - 569) / 2, 62, 569, 361);

    helpText = new QPlainTextEdit(Panel1);
    helpText->setObjectName(QStringLiteral("helpText"));
    helpText->setAccessibleName(QStringLiteral("Help Text"));
    helpText->setFont(arialPixels(13));
    helpText->setReadOnly(true);
    helpText->setTextInteractionFlags(Qt::NoTextInteraction);
    helpText->setFocusPolicy(Qt::NoFocus);
    helpText->setContextMenuPolicy(Qt::NoContextMenu);
    helpText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    helpText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    helpText->setLineWrapMode(QPlainTextEdit::WidgetWidth);  // long lines wrap at word breaks
    helpText->setGeometry(Panel1->contentsRect());

    btnExitHelp = new QPushButton(QStringLiteral("Exit Help"), this);
    btnExitHelp->setObjectName(QStringLiteral("btnExitHelp"));
    btnExitHelp->setAccessibleName(QStringLiteral("Exit Help"));
    btnExitHelp->setAutoDefault(false);  // Enter in the topic list does not close the window
    btnExitHelp->setGeometry((kClientWidth - 145) / 2, 435, 145, 25);

    // Page Up, Page Down, Ctrl+Home and Ctrl+End scroll the text while the
    // topic list keeps the focus; the arrows still change the topic.
    cmbTopicSelector->installEventFilter(this);

    connect(cmbTopicSelector, &QComboBox::activated, this, &ThelpWindow::cmbTopicSelectorChange);
    connect(btnExitHelp, &QPushButton::clicked, this, &ThelpWindow::btnExitHelpClick);

    // The topic list read at start-up; after a failure the titles read
    // before it are listed and none is chosen.
    guarded("ulumHelp", 11, [this] {
        const TopicList& list = topicList();
        folder_ = list.folder;
        helpTopicFiles = list.index.topicFiles;
        for (const std::string& title : list.index.titles)
            cmbTopicSelector->addItem(helpLineText(title));
        const bool choose = list.index.complete && cmbTopicSelector->count() > 0;
        cmbTopicSelector->setCurrentIndex(choose ? 0 : -1);
    });
}

bool ThelpWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched != cmbTopicSelector || event->type() != QEvent::KeyPress)
        return SecondaryWindow::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool ctrl = key->modifiers() == Qt::ControlModifier;
    QAbstractSlider::SliderAction scroll = QAbstractSlider::SliderNoAction;
    if (key->key() == Qt::Key_PageUp && !key->modifiers())
        scroll = QAbstractSlider::SliderPageStepSub;
    if (key->key() == Qt::Key_PageDown && !key->modifiers())
        scroll = QAbstractSlider::SliderPageStepAdd;
    if (key->key() == Qt::Key_Home && ctrl) scroll = QAbstractSlider::SliderToMinimum;
    if (key->key() == Qt::Key_End && ctrl) scroll = QAbstractSlider::SliderToMaximum;
    if (scroll == QAbstractSlider::SliderNoAction) return false;
    helpText->verticalScrollBar()->triggerAction(scroll);
    return true;
}

void ThelpWindow::showEvent(QShowEvent* event) {
    SecondaryWindow::showEvent(event);
    if (event->spontaneous()) return;  // restored from the task bar, not newly shown
    centreOn(MainWindow);
    FormShow();
}

void ThelpWindow::FormShow() {
    guarded("ulumHelp", 20, [this] {
        helpText->clear();
        loadHelpTopic();
    });
}

void ThelpWindow::cmbTopicSelectorChange() {
    guarded("ulumHelp", 30, [this] {
        helpText->clear();
        loadHelpTopic();
    });
}

void ThelpWindow::btnExitHelpClick() {
    guarded("ulumHelp", 40, [this] { hide(); });
}

void ThelpWindow::loadHelpTopic() {
    const int n = cmbTopicSelector->currentIndex();
    std::vector<std::string> lines;
    const bool read = n >= 0 && static_cast<std::size_t>(n) < helpTopicFiles.size() &&
                      readHelpTopic(folder_, helpTopicFiles[static_cast<std::size_t>(n)], &lines);
    // What was read before a failure in mid-file is shown too.
    QStringList texts;
    for (const std::string& line : lines) texts << helpLineText(line);
    helpText->setPlainText(texts.join(QLatin1Char('\n')));
    helpText->moveCursor(QTextCursor::Start);  // the topic is shown from its first line
    if (!read) showReadError("Help File Could Not Be Read");
}
