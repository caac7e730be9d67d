// Every window in every state, at the scale factor the run was started with
// (CTest runs these at 1 and at QT_SCALE_FACTOR=2): no button, radio button,
// check box, label or group title has text wider than its control's room,
// and no control reaches past its window's edge.

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTabWidget>
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/application.h"
#include "app/listpage.h"
#include "app/microLUM.h"
#include "app/recordgrid.h"
#include "app/singlepage.h"
#include "device/virtualtester.h"
#include "device/virtualtesterwindow.h"
#include "help/about.h"
#include "help/ulumHelp.h"
#include "print/ulumPrint.h"
#include "records/recordstore.h"
#include "save/save.h"
#include "tests/gui/guitest.h"

namespace {

// The advance of the text's widest line, an access key's '&' and the blanks
// at its end (which draw nothing) left out.
int textWidth(const QFont& font, QString text) {
    while (text.endsWith(QLatin1Char(' '))) text.chop(1);
    text.replace(QLatin1String("&&"), QLatin1String("\x01")).remove(QLatin1Char('&'));
    text.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    const QFontMetrics metrics(font);
    int widest = 0;
    for (const QString& line : text.split(QLatin1Char('\n')))
        widest = std::max(widest, metrics.horizontalAdvance(line));
    return widest;
}

// The page control is designed one pixel wider than the main window's
// client area, which hides its right border.
bool designedPastTheEdge(const QWidget* w) { return w->objectName() == QLatin1String("DataView"); }

// The width the control gives its text.
int room(const QWidget* w) {
    QStyle* style = w->style();
    const bool radio = qobject_cast<const QRadioButton*>(w) != nullptr;
    if (radio || qobject_cast<const QCheckBox*>(w)) {
        QStyleOptionButton o;
        o.initFrom(w);
        o.text = static_cast<const QAbstractButton*>(w)->text();
        const auto contents = radio ? QStyle::SE_RadioButtonContents : QStyle::SE_CheckBoxContents;
        return style->subElementRect(contents, &o, w).width();
    }
    if (auto* b = qobject_cast<const QPushButton*>(w)) {
        QStyleOptionButton o;
        o.initFrom(b);
        const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &o, b);
        return b->width() - 2 * frame - style->pixelMetric(QStyle::PM_ButtonMargin, &o, b) -
               (b->icon().isNull() ? 0 : b->iconSize().width() + 4);
    }
    if (auto* l = qobject_cast<const QLabel*>(w))
        return l->contentsRect().width() - 2 * std::max(l->indent(), 0);
    return w->width();
}

// Checks every visible control of window; state names it in failures.
void expectFits(QWidget* window, const std::string& state) {
    const QByteArray factor = qgetenv("QT_SCALE_FACTOR");
    const std::string what =
        state + " at scale factor " + (factor.isEmpty() ? "1" : factor.toStdString());
    QCoreApplication::processEvents();  // layouts settle
    ASSERT_TRUE(window->isVisible()) << what;
    const QRect area = window->rect();
    int checked = 0;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window) || w->isWindow()) continue;
        const std::string name =
            what + ": " + w->metaObject()->className() + " " + w->objectName().toStdString();
        const QRect placed(w->mapTo(window, QPoint(0, 0)), w->size());
        if (!designedPastTheEdge(w)) {
            EXPECT_TRUE(area.contains(placed)) << name << " reaches past the window's edge";
        }

        QString text;
        QFont font = w->font();
        if (auto* b = qobject_cast<QAbstractButton*>(w)) text = b->text();
        if (auto* l = qobject_cast<QLabel*>(w)) {
            if (l->wordWrap()) continue;  // a wrapped label takes the room it is given
            text = l->text();
        }
        if (auto* g = qobject_cast<QGroupBox*>(w)) {
            QStyleOptionGroupBox o;
            o.initFrom(g);
            o.text = g->title();
            o.subControls = QStyle::SC_GroupBoxLabel;
            const QRect label =
                g->style()->subControlRect(QStyle::CC_GroupBox, &o, QStyle::SC_GroupBoxLabel, g);
            // The style sizes the title's place to the ink of its text.
            EXPECT_GE(label.width(), QFontMetrics(font).boundingRect(g->title().trimmed()).width())
                << name << " title";
            EXPECT_LE(label.right(), g->width() - 1) << name << " title";
            ++checked;
            continue;
        }
        if (text.isEmpty()) continue;
        EXPECT_LE(textWidth(font, text), room(w)) << name << " \"" << text.toStdString() << '"';
        ++checked;
    }
    EXPECT_GT(checked, 0) << what;
}

// With LUMKEST_SCREENSHOTS=folder the walk also saves pictures of the main
// window's two pages there (scripts/screenshots.sh), named for the scale
// factor; LUMKEST_SCREENSHOT_SCHEME=dark first gives the windows the palette
// of a dark desktop colour scheme.
void shoot(QWidget* window, const char* page) {
    const QString folder = qEnvironmentVariable("LUMKEST_SCREENSHOTS");
    if (folder.isEmpty()) return;
    QString name = QLatin1String(page);
    if (qEnvironmentVariable("LUMKEST_SCREENSHOT_SCHEME") == QLatin1String("dark"))
        name += QLatin1String("-dark");
    const QString factor = qEnvironmentVariable("QT_SCALE_FACTOR");
    if (!factor.isEmpty() && factor != QLatin1String("1")) name += QLatin1Char('@') + factor + 'x';
    QCoreApplication::processEvents();
    EXPECT_TRUE(window->grab().save(folder + QLatin1Char('/') + name + QLatin1String(".png")));
}

// Every text of the single record page ends at least 4 pixels before the
// next control on its line (or its pane's edge), and the device ID is drawn
// at 12 pixels or more.
void expectGaps(QWidget* page, const std::string& what) {
    for (QLabel* label : page->findChildren<QLabel*>()) {
        if (!label->isVisible() || label->text().isEmpty()) continue;
        const QRect at = label->geometry();
        int next = label->parentWidget()->width();
        for (QWidget* w : label->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (w->isVisible() && w->x() > at.x() && w->y() < at.bottom() &&
                at.y() < w->geometry().bottom())
                next = std::min(next, w->x());
        EXPECT_LE(at.x() + textWidth(label->font(), label->text()) + 4, next)
            << what << ": \"" << label->text().toStdString() << '"';
    }
    EXPECT_GE(page->findChild<QLabel*>("LblSingleRecDeviceID")->font().pixelSize(), 12) << what;
}

// A dark desktop scheme's palette: light text on dark buttons and windows,
// grey when disabled.
QPalette darkScheme() {
    QPalette palette(QColor(0x35, 0x35, 0x35));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, QColor(0x80, 0x80, 0x80));
    return palette;
}

}  // namespace

using WindowLayout = MainWindowTest;

TEST_F(WindowLayout, EveryWindowInEveryStateFits) {
    const bool dark = qEnvironmentVariable("LUMKEST_SCREENSHOT_SCHEME") == QLatin1String("dark");
    if (dark) MainWindow->setPalette(darkScheme());
    MainWindow->show();
    expectFits(MainWindow, "main window at start");
    std::vector<TestRecord> records = VirtualTester::defaultRecords();
    // The last records carry device IDs of 16 wide characters.
    const char* const wideIDs[] = {"WWWWWWWWWWWWWWWW",
                                   "\xc9QUIPEMENT-\xdc"
                                   "BER-",
                                   "@@@@@@@@@@@@@@@@"};
    for (std::size_t i = 0; i < 3; ++i)
        std::strcpy(records[records.size() - 3 + i].deviceID, wideIDs[i]);
    ASSERT_EQ(MainWindow->presentRecords(records, records.size(), {}), 0);
    expectFits(MainWindow, "list page with the tester's records");
    for (std::size_t i : {0, 1, 3}) recordStore().toggleSelected(i);
    MainWindow->listPage()->grid()->showSelection();
    shoot(MainWindow, "list-view");
    MainWindow->DataView()->setCurrentIndex(1);
    for (unsigned i = 0; i < records.size(); ++i) {
        currentRecord = i;
        MainWindow->singlePage()->refresh();
        const std::string what = "single record page, record " + std::to_string(i + 1);
        expectFits(MainWindow, what);
        expectGaps(MainWindow->singlePage(), what);
    }
    currentRecord = 5;
    MainWindow->singlePage()->selectChooserEntry(5);
    MainWindow->singlePage()->refresh();
    shoot(MainWindow, "single-record-view");

    for (int mode :
         {ExportCsvAll, ExportCsvSingle, SaveTextSelected, SaveTextSingle, SaveTextAll}) {
        saveDialogMode = mode;
        saveDialog()->show();
        expectFits(ulumSaveDialog, "save window, mode " + std::to_string(mode));
        saveDialog()->hide();
    }
    for (int range : {PrintSelected, PrintSingle, PrintAll}) {
        printRange = range;
        printDialog()->show();
        expectFits(printWindow, "print window, range " + std::to_string(range));
        printDialog()->hide();
    }
    helpViewer()->show();
    expectFits(helpWindow, "help");
    aboutBox()->show();
    expectFits(frmAbout, "About");

    // The Virtual Tester window with a block file, through its actions.
    VirtualTester tester;
    auto window = std::make_unique<VirtualTesterWindow>(
        &tester, VirtualTester::buildAllRecordsBlock(records), QStringLiteral("records.bin"));
    window->show();
    // Placed beside the main window: right of it on a wide screen, left of it
    // when it stands at the right; on a 1024 x 768 screen never over its
    // menus, page tabs and Download Data button.
    const QSize outer = window->size() + QSize(12, 40);
    for (const auto& [screen, mainAt] : {std::pair{QRect(0, 0, 1920, 1080), QPoint(656, 328)},
                                         {QRect(0, 0, 1920, 1080), QPoint(1300, 0)},
                                         {QRect(0, 0, 1024, 768), QPoint(208, 172)}}) {
        const QRect main(mainAt, MainWindow->frameSize() + QSize(16, 48));
        const QRect placed(besideWindow(screen, main, outer), outer);
        EXPECT_TRUE(screen.contains(placed)) << mainAt.x();
        EXPECT_FALSE(placed.intersects(QRect(mainAt, QSize(main.width() * 5 / 6, 110))));
        EXPECT_TRUE(screen.width() == 1024 || !placed.intersects(main)) << mainAt.x();
    }
    const struct {
        const char* what;
        std::function<void()> act;
    } steps[] = {{"Virtual Tester", [] {}},
                 {"Virtual Tester unplugged", [&] { window->pluggedInToggled(false); }},
                 {"Virtual Tester plugged in", [&] { window->pluggedInToggled(true); }},
                 {"Virtual Tester applied", [&] { window->applyRecordsClick(); }},
                 {"Virtual Tester sent all", [&] { window->sendAllRecordsClick(); }},
                 {"Virtual Tester sent one", [&] { window->sendOneRecordClick(); }},
                 {"Virtual Tester announced", [&] { window->sendAnnouncementClick(); }}};
    for (const auto& s : steps) {
        s.act();
        window->refresh();
        expectFits(window.get(), s.what);
    }
}
