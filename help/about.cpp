#include "help/about.h"

#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QShowEvent>
#include <QUrl>

#include "app/fonts.h"
#include "app/glyphs.h"
#include "app/guard.h"
#include "app/microLUM.h"

#ifndef LUMKEST_VERSION_TEXT
#error "LUMKEST_VERSION_TEXT comes from the project version in CMakeLists.txt"
#endif

TfrmAbout* frmAbout = nullptr;

std::function<void(const QString&)> TfrmAbout::openWebAddress = [](const QString& address) {
    QDesktopServices::openUrl(QUrl::fromUserInput(address));
};

namespace {

// The maker's details.  The web address is shown and opened as it stands.
const char* const kWebAddress = "www.korvane.example.com";

const QColor kLinkBlue(0, 0, 255);
const QColor kLinkRed(255, 0, 0);

void setTextColour(QLabel* label, const QColor& colour) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

}  // namespace

TfrmAbout::TfrmAbout() : SecondaryWindow(QStringLiteral("About"), 272, 295) {
    setObjectName(QStringLiteral("frmAbout"));
    setFont(dialogFont(11));

    // Created first, so that it is first in the tab order.
    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setAccessibleName(QStringLiteral("OK"));
    btnOK->setGeometry(105, 256, 70, 25);

    auto* Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setAccessibleName(QStringLiteral("Dosimark Kest picture"));
    Image1->setPixmap(aboutPicture());
    Image1->setAlignment(Qt::AlignCenter);
    Image1->setGeometry(8, 8, 105, 73);
    auto* Bevel1 = new QFrame(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setAccessibleName(QStringLiteral("Picture frame"));
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 105, 73);

    struct Text {
        const char* name;
        QString text;
        int left, top, pixels;
    };
    const Text texts[] = {
        {"Label1", QStringLiteral("LUM Kest"), 128, 8, 16},
        {"Label2", QStringLiteral(LUMKEST_VERSION_TEXT), 128, 32, 16},
        {"Label3", QStringLiteral("Copyright \u00a9 2005"), 128, 64, 13},
        {"Label4", QStringLiteral("Korvane Systems Inc."), 8, 88, 13},
        {"Label5", QStringLiteral("4100 Example Avenue, Unit 12"), 8, 104, 13},
        {"Label6", QStringLiteral("Anytown, Ontario"), 8, 120, 13},
        {"Label7", QStringLiteral("Z9Z 9Z9  Canada"), 8, 136, 13},
        {"Label8", QStringLiteral("Phone:"), 8, 160, 13},
        {"Label12", QStringLiteral("(555) 555-0142"), 72, 160, 13},
        {"Label9", QStringLiteral("Toll Free:"), 8, 176, 13},
        {"Label13", QStringLiteral("1-800-555-0199"), 72, 176, 13},
        {"Label10", QStringLiteral("Fax:"), 8, 192, 13},
        {"Label14", QStringLiteral("(555) 555-0143"), 72, 192, 13},
        {"Label11", QStringLiteral("Email:"), 8, 208, 13},
        {"Label15", QStringLiteral("service@korvane.example.com"), 72, 208, 13},
        {"Label16", QStringLiteral("Website:"), 8, 224, 13},
    };
    for (const Text& t : texts) {
        auto* label = new QLabel(t.text, this);
        label->setObjectName(QLatin1String(t.name));
        label->setFont(dialogFont(t.pixels));
        label->move(t.left, t.top);
        label->adjustSize();  // labels size themselves to their text
    }

    lblWebLink = new QLabel(QLatin1String(kWebAddress), this);
    lblWebLink->setObjectName(QStringLiteral("lblWebLink"));
    lblWebLink->setAccessibleName(QLatin1String(kWebAddress));
    lblWebLink->setAccessibleDescription(QStringLiteral("Opens the web site in your browser"));
    QFont linkFont = dialogFont(13);
    linkFont.setUnderline(true);
    lblWebLink->setFont(linkFont);
    setTextColour(lblWebLink, kLinkBlue);
    lblWebLink->setCursor(Qt::PointingHandCursor);
    lblWebLink->move(72, 224);
    lblWebLink->adjustSize();
    lblWebLink->installEventFilter(this);
    // Reachable from the keyboard too: Tab after OK, then Enter or Space.
    lblWebLink->setFocusPolicy(Qt::TabFocus);

    connect(btnOK, &QPushButton::clicked, this, &TfrmAbout::btnOKClick);
}

void TfrmAbout::showEvent(QShowEvent* event) {
    SecondaryWindow::showEvent(event);
    if (!event->spontaneous()) centreOn(MainWindow);
}

bool TfrmAbout::eventFilter(QObject* watched, QEvent* event) {
    if (watched != lblWebLink) return SecondaryWindow::eventFilter(watched, event);
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick: {
            // A double click's second press opens nothing: only a press and
            // release of the left button over the link is a click.
            auto* mouse = static_cast<QMouseEvent*>(event);
            linkPressed_ =
                event->type() == QEvent::MouseButtonPress && mouse->button() == Qt::LeftButton;
            lblWebLinkMouseDown();
            return true;
        }
        case QEvent::MouseButtonRelease: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            const bool click = linkPressed_ && mouse->button() == Qt::LeftButton &&
                               lblWebLink->rect().contains(mouse->position().toPoint());
            if (mouse->button() == Qt::LeftButton) linkPressed_ = false;
            if (click) lblWebLinkClick();
            lblWebLinkMouseUp();
            return true;
        }
        case QEvent::KeyPress: {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Space) return false;
            lblWebLinkClick();
            return true;
        }
        default:
            return false;
    }
}

void TfrmAbout::lblWebLinkClick() {
    guarded("about", 10, [] {
        if (openWebAddress) openWebAddress(QLatin1String(kWebAddress));
    });
}

void TfrmAbout::lblWebLinkMouseDown() {
    guarded("about", 20, [this] { setTextColour(lblWebLink, kLinkRed); });
}

void TfrmAbout::lblWebLinkMouseUp() {
    guarded("about", 30, [this] { setTextColour(lblWebLink, kLinkBlue); });
}

void TfrmAbout::btnOKClick() {
    guarded("about", 40, [this] { hide(); });
}
