#include "app/singlepage.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <algorithm>
#include <cmath>

#include "app/fixedheightitems.h"
#include "app/fonts.h"
#include "app/glyphs.h"
#include "app/guard.h"
#include "records/recordstore.h"
#include "ui_singlepage.h"

namespace {

constexpr int kSmallestValuePixels = 9;
// A device ID of any characters stays readable at this size or larger.
constexpr int kSmallestIdPixels = 12;
constexpr int kDeviceIdLength = 16;
// The least room between a text and the next control on its line.
constexpr int kTextGap = 4;

// A plain frame reads as a window frame to assistive technology; the values
// panel is a pane within the page.
QAccessibleInterface* paneFactory(const QString& className, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (className == QLatin1String("QFrame") && widget &&
        widget->property("accessiblePane").toBool())
        return new QAccessibleWidget(widget, QAccessible::Pane);
    return nullptr;
}

void exposeAsPane(QWidget* widget) {
    static const bool installed = [] {
        QAccessible::installFactory(paneFactory);
        return true;
    }();
    (void)installed;
    widget->setProperty("accessiblePane", true);
}

// Tab and the movement keys Page Up/Down, End, Home and the arrows.
bool chooserLetsThrough(int key) {
    switch (key) {
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_End:
        case Qt::Key_Home:
        case Qt::Key_Left:
        case Qt::Key_Up:
        case Qt::Key_Right:
        case Qt::Key_Down:
            return true;
        default:
            return false;
    }
}

}  // namespace

SinglePage::SinglePage(QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::SinglePage>()) {
    ui_->setupUi(this);
    Ui::SinglePage& u = *ui_;
    u.Label1->setFont(dialogFont(21, true));
    u.LblSingleRecordNum->setFont(dialogFont(21, true));
    u.ComboChooseRecord->setFont(dialogFont(13, false));
    u.ComboChooseRecord->setItemDelegate(new FixedHeightItems(16, u.ComboChooseRecord));
    for (QLabel* caption : {u.Label4, u.Label3, u.Label9, u.Label11, u.Label8, u.Label6, u.Label7,
                            u.Label10})
        caption->setFont(dialogFont(19, false));
    for (QLabel* value : valueLabels()) {
        if (value != u.LblSingleRecordNum) {
            value->setFont(dialogFont(16, false));
            value->setTextFormat(Qt::PlainText);
        }
        // What the label returns to whenever its text fits.
        value->setProperty("designWidth", value->width());
        value->setProperty("designPixels", value->font().pixelSize());
    }
    for (QWidget* w : {static_cast<QWidget*>(u.BtnSaveSingleRecord),
                       static_cast<QWidget*>(u.BtnPrintSingleRecord),
                       static_cast<QWidget*>(u.ChkSelectRecord)})
        w->setFont(dialogFont(16, true));

    const struct {
        QPushButton* button;
        Glyph glyph;
    } steps[] = {{u.BtnBack5Rec, Glyph::Back5},
                 {u.BtnPrevRecord, Glyph::Prev},
                 {u.BtnNextRecord, Glyph::Next},
                 {u.BtnJump5Rec, Glyph::Jump5}};
    for (const auto& s : steps) {
        s.button->setIcon(glyphIcon(s.glyph, s.button));
        s.button->setIconSize(glyphSize(s.glyph));
        s.button->setAccessibleName(s.button->toolTip());
    }
    u.ComboChooseRecord->setAccessibleName(u.ComboChooseRecord->toolTip());
    // On this platform a combo box reads out its current entry as its name;
    // the hint stays available as its description.
    u.ComboChooseRecord->setAccessibleDescription(u.ComboChooseRecord->toolTip());
    exposeAsPane(u.Panel1);  // before anything asks for its accessible interface
    u.Panel1->setAccessibleName(QStringLiteral("Record Values"));
    // The chooser is labelled by "Record #", so that a screen reader can say
    // what it is.  (The value labels get no such link: an empty value would
    // then be read out as its caption.)
    u.Label1->setBuddy(u.ComboChooseRecord);
    u.ChkSelectRecord->setProperty("tag", 0);
    u.ComboChooseRecord->installEventFilter(this);
    // Keys typed while the entry list is dropped down reach the list, not
    // the chooser: they are filtered the same way.
    u.ComboChooseRecord->view()->installEventFilter(this);

    connect(u.BtnNextRecord, &QPushButton::clicked, this, &SinglePage::BtnNextRecordClick);
    connect(u.BtnPrevRecord, &QPushButton::clicked, this, &SinglePage::BtnPrevRecordClick);
    connect(u.BtnJump5Rec, &QPushButton::clicked, this, &SinglePage::BtnJump5RecClick);
    connect(u.BtnBack5Rec, &QPushButton::clicked, this, &SinglePage::BtnBack5RecClick);
    // activated is raised only by the user's choice, never by the program's.
    connect(u.ComboChooseRecord, &QComboBox::activated, this, &SinglePage::ComboChooseRecordChange);
    connect(u.ChkSelectRecord, &QCheckBox::toggled, this, [this] { ChkSelectRecordClick(); });
}

SinglePage::~SinglePage() = default;

void SinglePage::showEvent(QShowEvent* event) {
    // Caption labels size themselves to their text, as designed labels do,
    // and the columns take the room that these captions need.  Measured at
    // the page's first showing: their fonts are needed by no earlier frame.
    if (!captionsSized_) {
        placeColumns();
        captionsSized_ = true;
    }
    QWidget::showEvent(event);
}

void SinglePage::placeColumns() {
    Ui::SinglePage& u = *ui_;
    for (QLabel* caption : {u.Label1, u.Label4, u.Label3, u.Label9, u.Label11, u.Label8, u.Label6,
                            u.Label7, u.Label10})
        caption->adjustSize();
    auto rightOf = [](const QLabel* l) { return l->x() + l->width(); };
    auto moveToX = [](QWidget* w, int x) { w->move(x, w->y()); };

    // The record number follows "Record #" with a gap.
    moveToX(u.LblSingleRecordNum,
            std::max(u.LblSingleRecordNum->x(), rightOf(u.Label1) + kTextGap));

    // The panel's four lines: caption, value, caption, value.
    const struct {
        QLabel* caption;
        QLabel* value;
        QLabel* rightCaption;
        QLabel* rightValue;
    } lines[] = {
        {u.Label4, u.LblSingleRecDeviceID, u.Label8, u.LblSingleRecVolume},
        {u.Label3, u.LblSingleRecTestTime, u.Label6, u.LblSingleRecOcclPressure},
        {u.Label9, u.LblSingleRecTestDate, u.Label7, u.LblSingleRecOPPeakTime},
        {u.Label11, u.LblSingleRecFlowRate, u.Label10, u.LblSingleRecTestDuration},
    };
    // The device ID keeps room for any 16 printable characters at the
    // smallest size it may be drawn in.
    QFont idFont = u.LblSingleRecDeviceID->font();
    idFont.setPixelSize(kSmallestIdPixels);
    const QFontMetricsF idMetrics(idFont);
    qreal widest = 0;
    for (int c = 0x20; c <= 0xff; ++c)
        if (c < 0x7f || c >= 0xa0) widest = std::max(widest, idMetrics.horizontalAdvance(QChar(c)));
    const int idRoom = static_cast<int>(std::ceil(widest * kDeviceIdLength));

    const int designValueX = lines[0].value->x();
    const int designRightValueX = lines[0].rightValue->x();
    int valueX = designValueX;
    for (const auto& l : lines) valueX = std::max(valueX, rightOf(l.caption) + kTextGap);
    int rightValueX = std::max(
        designRightValueX, valueX + idRoom + kTextGap + lines[0].rightCaption->width() + kTextGap);
    for (const auto& l : lines)
        rightValueX = std::max(rightValueX, rightOf(l.rightCaption) + kTextGap);
    const bool designFits = valueX == designValueX && rightValueX == designRightValueX &&
                            lines[0].rightCaption->x() >= valueX + idRoom + kTextGap;
    for (const auto& l : lines) {
        moveToX(l.value, valueX);
        moveToX(l.rightValue, rightValueX);
    }
    // Where the designed places are too narrow for this font, the right
    // column's captions stand against their values, which leaves the most
    // room to the values on the left.
    if (!designFits)
        for (const auto& l : lines)
            moveToX(l.rightCaption, rightValueX - kTextGap - l.rightCaption->width());
    fitValueLabels();  // the values shown so far, in their new room
}

std::array<QLabel*, 9> SinglePage::valueLabels() const {
    const Ui::SinglePage& u = *ui_;
    return {u.LblSingleRecordNum,     u.LblSingleRecDeviceID,     u.LblSingleRecTestTime,
            u.LblSingleRecTestDate,   u.LblSingleRecFlowRate,     u.LblSingleRecVolume,
            u.LblSingleRecOcclPressure, u.LblSingleRecOPPeakTime, u.LblSingleRecTestDuration};
}

void SinglePage::refresh() {
    guarded("microLUM", 301, [this] {
        Ui::SinglePage& u = *ui_;
        for (QLabel* label : valueLabels()) label->clear();
        if (haveData.load() == 0) return;
        unsigned index = currentRecord.load();
        TestRecord r = recordStore().record(index);
        SingleRecordTexts t = singleRecordTexts(r, index);
        u.LblSingleRecordNum->setText(latin1Text(t.recordNumber));
        u.LblSingleRecDeviceID->setText(latin1Text(t.deviceID));
        u.LblSingleRecTestTime->setText(latin1Text(t.testTime));
        u.LblSingleRecTestDate->setText(latin1Text(t.testDate));
        u.LblSingleRecFlowRate->setText(latin1Text(t.flowRate));
        u.LblSingleRecVolume->setText(latin1Text(t.volume));
        u.LblSingleRecOcclPressure->setText(latin1Text(t.occlPressure));
        u.LblSingleRecOPPeakTime->setText(latin1Text(t.opPeakTime));
        u.LblSingleRecTestDuration->setText(latin1Text(t.testDuration));
        fitValueLabels();
        u.ChkSelectRecord->setProperty("tag", 1);
        u.ChkSelectRecord->setChecked(r.selected == 1);
        u.ChkSelectRecord->setProperty("tag", 0);
    });
}

void SinglePage::fitValueLabels() {
    Ui::SinglePage& u = *ui_;
    // A value label grows with its text, as far as the next control on its
    // line less the gap; the panel's right column may use the panel's whole
    // width.
    const int panelEdge = u.Panel1->width() - kTextGap;
    const struct {
        QLabel* label;
        int rightEdge;
    } fits[] = {
        {u.LblSingleRecordNum, u.ComboChooseRecord->x() - kTextGap},
        {u.LblSingleRecDeviceID, u.Label8->x() - kTextGap},
        {u.LblSingleRecTestTime, u.Label6->x() - kTextGap},
        {u.LblSingleRecTestDate, u.Label7->x() - kTextGap},
        {u.LblSingleRecFlowRate, u.Label10->x() - kTextGap},
        {u.LblSingleRecVolume, panelEdge},
        {u.LblSingleRecOcclPressure, panelEdge},
        {u.LblSingleRecOPPeakTime, panelEdge},
        {u.LblSingleRecTestDuration, panelEdge},
    };
    for (const auto& f : fits) {
        const int room = f.rightEdge - f.label->x();
        const int least = std::min(f.label->property("designWidth").toInt(), room);
        // A text too wide for the room is drawn smaller rather than cut:
        // every character of a full-width field stays readable.
        QFont font = f.label->font();
        const int designPixels = f.label->property("designPixels").toInt();
        font.setPixelSize(designPixels);
        while (font.pixelSize() > kSmallestValuePixels &&
               QFontMetrics(font).horizontalAdvance(f.label->text()) > room)
            font.setPixelSize(font.pixelSize() - 1);
        f.label->setFont(font);
        const int wanted = QFontMetrics(font).horizontalAdvance(f.label->text());
        f.label->resize(std::clamp(wanted, least, room), f.label->height());
    }
}

void SinglePage::refillChooser() {
    QComboBox* chooser = ui_->ComboChooseRecord;
    chooser->clear();
    const unsigned count = recordCount.load();
    for (unsigned i = 0; i < count; ++i) chooser->addItem(latin1Text(chooserEntryText(i)));
    selectChooserEntry(static_cast<int>(currentRecord.load()));
}

void SinglePage::selectChooserEntry(int index) { ui_->ComboChooseRecord->setCurrentIndex(index); }

void SinglePage::step(NavStep how) {
    guarded("microLUM", 310, [this, how] {
        unsigned next = navigate(how, currentRecord.load(), recordCount.load());
        currentRecord = next;
        selectChooserEntry(static_cast<int>(next));
        refresh();
    });
}

void SinglePage::ComboChooseRecordChange(int index) {
    guarded("microLUM", 320, [this, index] {
        if (index < 0) return;
        currentRecord = static_cast<unsigned>(index);
        refresh();
        if (!keyboardMark_) {
            if (focusTarget_) focusTarget_->setFocus();
        } else {
            keyboardMark_ = false;
        }
    });
}

bool SinglePage::ComboChooseRecordKeyDown(int key) {
    keyboardMark_ = true;
    return !chooserLetsThrough(key);
}

void SinglePage::ChkSelectRecordClick() {
    guarded("microLUM", 330, [this] {
        if (ui_->ChkSelectRecord->property("tag").toInt() != 0) return;
        unsigned index = currentRecord.load();
        TestRecord r = recordStore().record(index);
        recordStore().setSelected(index, r.selected == 0);
    });
}

bool SinglePage::eventFilter(QObject* watched, QEvent* event) {
    QComboBox* chooser = ui_->ComboChooseRecord;
    QAbstractItemView* list = chooser->view();
    const bool inList = watched == list;
    // The dropped-down list picks an entry on Return and Enter, and closes on
    // F4, when they come as shortcut overrides, before their key presses.
    const bool shortcut = event->type() == QEvent::ShortcutOverride && inList;
    if ((event->type() != QEvent::KeyPress && !shortcut) || (watched != chooser && !inList) ||
        passingKeyOn_)
        return QWidget::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    // Escape still closes the dropped-down list, so that the list can never
    // hold a keyboard user; it changes no record.
    if (inList && key->key() == Qt::Key_Escape) {
        if (!shortcut) keyboardMark_ = true;
        return false;
    }
    if (shortcut) {
        if (chooserLetsThrough(key->key())) return false;
        event->accept();  // no shortcut either: the key press follows, and is swallowed
        return true;
    }
    if (ComboChooseRecordKeyDown(key->key())) return true;
    const bool tab = key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab;
    // Ctrl+Tab and Ctrl+Shift+Tab switch pages from here too; the chooser
    // itself would take the tab character as typing.
    if (tab && (key->modifiers() & Qt::ControlModifier) && !inList && focusTarget_) {
        QKeyEvent pageKey(QEvent::KeyPress, key->key(), key->modifiers());
        QCoreApplication::sendEvent(focusTarget_, &pageKey);
        return true;
    }
    if (tab) return false;
    // The left and right arrows step through the entries as up and down do;
    // neither the chooser nor its list acts on them.
    int move = key->key();
    if (move == Qt::Key_Left) move = Qt::Key_Up;
    if (move == Qt::Key_Right) move = Qt::Key_Down;
    if (!inList && move == key->key()) return false;
    QKeyEvent moveKey(QEvent::KeyPress, move, key->modifiers());
    if (!inList) {
        QCoreApplication::sendEvent(chooser, &moveKey);
        return true;
    }
    // In the dropped-down list a move only highlights an entry: the chooser
    // takes it up as a choice, so that each move shows its record while the
    // focus stays in the chooser.  (Alt+Down has closed it already.)
    if (!list->isVisible()) return true;
    passingKeyOn_ = true;
    QCoreApplication::sendEvent(list, &moveKey);
    passingKeyOn_ = false;
    const int row = list->currentIndex().row();
    if (row >= 0 && row != chooser->currentIndex()) {
        selectChooserEntry(row);
        ComboChooseRecordChange(row);
    }
    return true;
}
