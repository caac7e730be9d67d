#pragma once
// The About box: the program's name and version, the maker's details and
// its web address as a link that opens in the user's web browser.

#include <QString>
#include <functional>

#include "app/secondarywindow.h"

class QLabel;
class QPushButton;

class TfrmAbout : public SecondaryWindow {
    Q_OBJECT
public:
    TfrmAbout();

    // Opens a web address in the default browser (QDesktopServices).  Tests
    // replace it to see what would be opened.
    static std::function<void(const QString& address)> openWebAddress;

    void lblWebLinkClick();
    void lblWebLinkMouseDown();
    void lblWebLinkMouseUp();
    void btnOKClick();

    QLabel* webLink() const { return lblWebLink; }
    QPushButton* okButton() const { return btnOK; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QLabel* lblWebLink = nullptr;
    QPushButton* btnOK = nullptr;
    bool linkPressed_ = false;  // a left press on the link that a release there completes
};

extern TfrmAbout* frmAbout;
