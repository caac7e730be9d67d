#include "device/virtualtesterwindow.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <iterator>

#include "device/virtualtester.h"

namespace {

constexpr int kRefreshMs = 250;

// How many records the tester keeps: as many as its default set holds.
int testerCapacity() {
    static const int capacity = static_cast<int>(VirtualTester::defaultRecords().size());
    return capacity;
}

// The delivery combo's entries, in order.
struct DeliveryChoice {
    const char* caption;
    Delivery delivery;
};
const DeliveryChoice kDeliveries[] = {
    {"At once", Delivery::AtOnce},
    {"In pieces", Delivery::Pieces},
    {"Too slowly", Delivery::TooSlow},
    {"Garbage", Delivery::Garbage},
    {"As USB delivers", Delivery::AsUsb},
};

// A command as the status line shows it: without its "\r", other control
// bytes as hex.
QString printable(const std::string& command) {
    QString out;
    for (unsigned char c : command) {
        if (c == '\r') continue;
        if (c >= 0x20 && c < 0x7F)
            out += QChar(c);
        else
            out += QStringLiteral("<%1>").arg(c, 2, 16, QChar('0'));
    }
    return out;
}

QString describeCommand(const std::string& command) {
    if (command == "ID\r") return QStringLiteral("Answered \"ID\" with its identity");
    if (command == "DD\r") return QStringLiteral("Answered \"DD\" with the data block");
    if (command == "*\r") return QStringLiteral("Received \"*\" (acknowledgement)");
    return QStringLiteral("Received \"%1\"").arg(printable(command));
}

template <typename T>
T* named(T* widget, const QString& accessibleName) {
    widget->setAccessibleName(accessibleName);
    return widget;
}

}  // namespace

VirtualTesterWindow::VirtualTesterWindow(VirtualTester* tester, std::vector<std::uint8_t> fileBlock,
                                         const QString& fileName)
    : QWidget(nullptr), tester_(tester), fileBlock_(std::move(fileBlock)), fileName_(fileName) {
    setObjectName(QStringLiteral("VirtualTesterWindow"));
    setWindowTitle(QStringLiteral("Virtual Tester"));
    setAccessibleName(QStringLiteral("Virtual Tester"));

    auto* layout = new QVBoxLayout(this);

    chkPluggedIn_ = named(new QCheckBox(QStringLiteral("Plugged In")), QStringLiteral("Plugged In"));
    layout->addWidget(chkPluggedIn_);

    // What the tester holds.
    auto* gbRecords = named(new QGroupBox(QStringLiteral("Records")), QStringLiteral("Records"));
    auto* recordsLayout = new QGridLayout(gbRecords);
    const QString defaultCaption =
        QStringLiteral("Default records (%1)").arg(testerCapacity());
    rdDefault_ = named(new QRadioButton(defaultCaption), defaultCaption);
    rdCount_ = named(new QRadioButton(QStringLiteral("Number of records")),
                     QStringLiteral("Number of records"));
    spinCount_ = named(new QSpinBox, QStringLiteral("Number of records to hold"));
    spinCount_->setRange(0, testerCapacity());
    spinCount_->setValue(10);
    auto* group = new QButtonGroup(this);
    group->addButton(rdDefault_);
    group->addButton(rdCount_);
    recordsLayout->addWidget(rdDefault_, 0, 0, 1, 2);
    recordsLayout->addWidget(rdCount_, 1, 0);
    recordsLayout->addWidget(spinCount_, 1, 1);
    if (!fileBlock_.empty()) {
        const QString caption = QStringLiteral("Block from file (%1)").arg(fileName_);
        rdFile_ = named(new QRadioButton(caption), caption);
        group->addButton(rdFile_);
        recordsLayout->addWidget(rdFile_, 2, 0, 1, 2);
    }
    // Which tester it is: a trainer can show a second one.  The program
    // reads the identity when it attaches the tester.
    auto* lblSerial = named(new QLabel(QStringLiteral("Serial:")), QStringLiteral("Serial:"));
    edtSerial_ = named(new QLineEdit, QStringLiteral("Tester serial"));
    edtSerial_->setMaxLength(12);
    lblSerial->setBuddy(edtSerial_);
    auto* lblId = named(new QLabel(QStringLiteral("ID:")), QStringLiteral("ID:"));
    edtId_ = named(new QLineEdit, QStringLiteral("Tester ID"));
    edtId_->setMaxLength(20);
    lblId->setBuddy(edtId_);
    recordsLayout->addWidget(lblSerial, 3, 0);
    recordsLayout->addWidget(edtSerial_, 3, 1);
    recordsLayout->addWidget(lblId, 4, 0);
    recordsLayout->addWidget(edtId_, 4, 1);
    btnApply_ = named(new QPushButton(QStringLiteral("Apply")), QStringLiteral("Apply"));
    recordsLayout->addWidget(btnApply_, 5, 1);
    layout->addWidget(gbRecords);

    // How it delivers a block.
    auto* deliveryRow = new QHBoxLayout;
    auto* lblDelivery = named(new QLabel(QStringLiteral("Delivery:")), QStringLiteral("Delivery:"));
    cmbDelivery_ = named(new QComboBox, QStringLiteral("Delivery"));
    for (const DeliveryChoice& d : kDeliveries) cmbDelivery_->addItem(QString::fromLatin1(d.caption));
    lblDelivery->setBuddy(cmbDelivery_);
    deliveryRow->addWidget(lblDelivery);
    deliveryRow->addWidget(cmbDelivery_, 1);
    layout->addLayout(deliveryRow);

    // What it sends on its own.
    btnSendAll_ = named(new QPushButton(QStringLiteral("Send All Records")),
                        QStringLiteral("Send All Records"));
    layout->addWidget(btnSendAll_);
    auto* oneRow = new QHBoxLayout;
    btnSendOne_ = named(new QPushButton(QStringLiteral("Send One Record")),
                        QStringLiteral("Send One Record"));
    auto* lblSlot = named(new QLabel(QStringLiteral("Slot:")), QStringLiteral("Slot:"));
    spinSlot_ = named(new QSpinBox, QStringLiteral("Slot to send"));
    spinSlot_->setRange(1, testerCapacity());
    lblSlot->setBuddy(spinSlot_);
    oneRow->addWidget(btnSendOne_, 1);
    oneRow->addWidget(lblSlot);
    oneRow->addWidget(spinSlot_);
    layout->addLayout(oneRow);
    btnAnnounce_ = named(new QPushButton(QStringLiteral("Send Announcement")),
                         QStringLiteral("Send Announcement"));
    layout->addWidget(btnAnnounce_);

    lblStatus_ = named(new QLabel, QStringLiteral("Tester status"));
    lblStatus_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(lblStatus_);

    // Start from the tester's present state.
    const VirtualTester::Activity a = tester_->activity();
    chkPluggedIn_->setChecked(a.plugged);
    if (rdFile_ && a.blockOverride)
        rdFile_->setChecked(true);
    else
        rdDefault_->setChecked(true);
    spinCount_->setEnabled(rdCount_->isChecked());
    edtSerial_->setText(QString::fromLatin1(a.serial.c_str()));
    edtId_->setText(QString::fromLatin1(a.id.c_str()));
    for (int i = 0; i < cmbDelivery_->count(); ++i)
        if (kDeliveries[i].delivery == tester_->delivery()) cmbDelivery_->setCurrentIndex(i);
    commandsSeen_ = a.commands;

    connect(chkPluggedIn_, &QCheckBox::toggled, this, &VirtualTesterWindow::pluggedInToggled);
    connect(rdCount_, &QRadioButton::toggled, spinCount_, &QSpinBox::setEnabled);
    connect(btnApply_, &QPushButton::clicked, this, &VirtualTesterWindow::applyRecordsClick);
    connect(cmbDelivery_, &QComboBox::currentIndexChanged, this,
            &VirtualTesterWindow::deliveryChanged);
    connect(btnSendAll_, &QPushButton::clicked, this, &VirtualTesterWindow::sendAllRecordsClick);
    connect(btnSendOne_, &QPushButton::clicked, this, &VirtualTesterWindow::sendOneRecordClick);
    connect(btnAnnounce_, &QPushButton::clicked, this, &VirtualTesterWindow::sendAnnouncementClick);

    tmrRefresh_ = new QTimer(this);
    tmrRefresh_->setInterval(kRefreshMs);
    connect(tmrRefresh_, &QTimer::timeout, this, &VirtualTesterWindow::refresh);
    tmrRefresh_->start();

    setLastAction(a.blockOverride ? QStringLiteral("Holding the block from %1").arg(fileName_)
                                  : QStringLiteral("Holding %1 records").arg(a.recordCount));
    adjustSize();
}

QPoint besideWindow(const QRect& screen, const QRect& mainFrame, const QSize& outer) {
    constexpr int kGap = 8;
    auto onScreen = [&](int x, int y) {
        x = std::clamp(x, screen.left(),
                       std::max(screen.left(), screen.right() + 1 - outer.width()));
        y = std::clamp(y, screen.top(),
                       std::max(screen.top(), screen.bottom() + 1 - outer.height()));
        return QPoint(x, y);
    };
    // Right of the main window, left of it, below it, above it.
    const QPoint places[] = {
        onScreen(mainFrame.right() + 1 + kGap, mainFrame.top()),
        onScreen(mainFrame.left() - kGap - outer.width(), mainFrame.top()),
        onScreen(mainFrame.left(), mainFrame.bottom() + 1 + kGap),
        onScreen(mainFrame.left(), mainFrame.top() - kGap - outer.height()),
    };
    for (const QPoint& p : places)
        if (!QRect(p, outer).intersects(mainFrame)) return p;
    // No room beside it: the screen's bottom right corner, over the right of
    // the grid and the clock rather than the menus, the page tabs, the
    // Download Data button or the connection state.
    return onScreen(screen.right(), screen.bottom());
}

void VirtualTesterWindow::placeBeside(const QRect& mainFrame) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    // The frame is not known before the window is shown; allow for a title
    // bar and borders.
    adjustSize();
    move(besideWindow(screen->availableGeometry(), mainFrame, size() + QSize(12, 40)));
}

QString VirtualTesterWindow::statusText() const { return lblStatus_->text(); }

void VirtualTesterWindow::pluggedInToggled(bool on) {
    if (on) {
        tester_->plugIn();
        setLastAction(QStringLiteral("Plugged in"));
    } else {
        tester_->unplug();
        setLastAction(QStringLiteral("Unplugged"));
    }
}

void VirtualTesterWindow::applyRecordsClick() {
    // A changed identity replaces the reply; an unchanged one keeps it as it
    // was given (say by --identity), bytes past the texts included.
    const std::string serial = edtSerial_->text().toLatin1().toStdString();
    const std::string id = edtId_->text().toLatin1().toStdString();
    const VirtualTester::Activity a = tester_->activity();
    if (serial != a.serial || id != a.id) tester_->setIdentity(serial, id);

    if (rdFile_ && rdFile_->isChecked()) {
        tester_->setBlockOverride(fileBlock_);
        setLastAction(QStringLiteral("Holding the block from %1").arg(fileName_));
        return;
    }
    std::vector<TestRecord> records = VirtualTester::defaultRecords();
    if (rdCount_->isChecked())
        records.resize(std::min(records.size(), static_cast<std::size_t>(spinCount_->value())));
    tester_->clearBlockOverride();
    tester_->setRecords(records);
    setLastAction(QStringLiteral("Holding %1 records").arg(records.size()));
}

void VirtualTesterWindow::deliveryChanged(int index) {
    if (index < 0 || index >= static_cast<int>(std::size(kDeliveries))) return;
    tester_->setDelivery(kDeliveries[index].delivery);
    setLastAction(QStringLiteral("Delivery: %1").arg(QString::fromLatin1(kDeliveries[index].caption)));
}

namespace {
const char* const kNotOpen = "Not sent: LUM Kest does not have the tester open";
}

void VirtualTesterWindow::sendAllRecordsClick() {
    setLastAction(tester_->sendAllRecords() ? QStringLiteral("Sent all records")
                                            : QString::fromLatin1(kNotOpen));
}

void VirtualTesterWindow::sendOneRecordClick() {
    const unsigned slot = static_cast<unsigned>(spinSlot_->value());
    if (!tester_->sendOneRecord(slot)) {
        setLastAction(QString::fromLatin1(kNotOpen));
        return;
    }
    const bool empty = !tester_->slotHoldsRecord(slot);
    setLastAction(empty ? QStringLiteral("Sent slot %1 (empty)").arg(slot)
                        : QStringLiteral("Sent the record in slot %1").arg(slot));
}

void VirtualTesterWindow::sendAnnouncementClick() {
    setLastAction(tester_->sendAnnouncement() ? QStringLiteral("Sent \"RD\" announcement")
                                              : QString::fromLatin1(kNotOpen));
}

void VirtualTesterWindow::setLastAction(const QString& text) {
    lastAction_ = text;
    refresh();
}

void VirtualTesterWindow::refresh() {
    const VirtualTester::Activity a = tester_->activity();
    if (chkPluggedIn_->isChecked() != a.plugged) {
        const QSignalBlocker block(chkPluggedIn_);
        chkPluggedIn_->setChecked(a.plugged);
    }
    if (a.commands != commandsSeen_) {
        if (a.commands > commandsSeen_) lastAction_ = describeCommand(a.lastCommand);
        commandsSeen_ = a.commands;
    }
    const QString state = !a.plugged ? QStringLiteral("Unplugged")
                          : a.open   ? QStringLiteral("Open")
                                     : QStringLiteral("Plugged in, not open");
    const QString commands = a.commands == 1
                                 ? QStringLiteral("1 command")
                                 : QStringLiteral("%1 commands").arg(a.commands);
    const QString text = QStringLiteral("%1 | %2 | %3").arg(state, commands, lastAction_);
    if (lblStatus_->text() != text) {
        lblStatus_->setText(text);
        lblStatus_->setAccessibleDescription(text);  // what a screen reader reads out
    }
}
