#pragma once
// Common shape of the four secondary windows: created once at start,
// modeless, on top of the other windows, hidden (never destroyed) when
// closed.

#include <QDialog>

class SecondaryWindow : public QDialog {
    Q_OBJECT
public:
    SecondaryWindow(const QString& caption, int clientWidth, int clientHeight);

protected:
    // Puts the window's centre on the centre of owner (nothing without one).
    void centreOn(const QWidget* owner);
};
