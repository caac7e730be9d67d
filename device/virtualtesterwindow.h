#pragma once
// The Virtual Tester window of lumkest-sim: the tester's own controls
// (plug, what it holds and which tester it is, how it delivers, its send
// buttons) and a one-line status of what it last did.  The tester does the
// work; this window only forwards the user's choices to it and shows its
// state.

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>
#include <cstddef>
#include <cstdint>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTimer;
class VirtualTester;

// Where a window of outer size (frame included) goes on screen beside
// mainFrame: to its right, else to its left, below or above it; where the
// screen has room for none of them, its bottom right corner.
QPoint besideWindow(const QRect& screen, const QRect& mainFrame, const QSize& outer);

class VirtualTesterWindow : public QWidget {
public:
    // fileBlock: the block given on the command line (may be empty), offered
    // as a third choice of what the tester holds; fileName names it.
    VirtualTesterWindow(VirtualTester* tester, std::vector<std::uint8_t> fileBlock = {},
                        const QString& fileName = QString());

    // Moves the window beside the main window, whose frame is mainFrame
    // (besideWindow below).
    void placeBeside(const QRect& mainFrame);

    QString statusText() const;

    // ---- handlers ----
    void pluggedInToggled(bool on);
    void applyRecordsClick();
    void deliveryChanged(int index);
    void sendAllRecordsClick();
    void sendOneRecordClick();
    void sendAnnouncementClick();
    void refresh();  // polled: the tester changes on the program's threads

private:
    void setLastAction(const QString& text);

    VirtualTester* tester_;
    std::vector<std::uint8_t> fileBlock_;
    QString fileName_;

    QCheckBox* chkPluggedIn_ = nullptr;
    QRadioButton* rdDefault_ = nullptr;
    QRadioButton* rdCount_ = nullptr;
    QRadioButton* rdFile_ = nullptr;  // only with a block file
    QSpinBox* spinCount_ = nullptr;
    QLineEdit* edtSerial_ = nullptr;  // the identity it answers with, taken up by Apply
    QLineEdit* edtId_ = nullptr;
    QPushButton* btnApply_ = nullptr;
    QComboBox* cmbDelivery_ = nullptr;
    QPushButton* btnSendAll_ = nullptr;
    QPushButton* btnSendOne_ = nullptr;
    QSpinBox* spinSlot_ = nullptr;
    QPushButton* btnAnnounce_ = nullptr;
    QLabel* lblStatus_ = nullptr;
    QTimer* tmrRefresh_ = nullptr;

    QString lastAction_;
    std::size_t commandsSeen_ = 0;
};
