#pragma once
// Common shape of the four secondary windows: built once, at their first
// showing (app/application.h), modeless, on top of the other windows,
// hidden (never destroyed) when closed.

#include <QDialog>

class SecondaryWindow : public QDialog {
    Q_OBJECT
public:
    SecondaryWindow(const QString& caption, int clientWidth, int clientHeight);

protected:
    // Hides the window and gives the keyboard focus to the main window.
    void closeToMainWindow();
    // Escape and the close box close the window the same way.
    void reject() override;

    // Puts the window's centre on the centre of owner (nothing without one).
    void centreOn(const QWidget* owner);
};
