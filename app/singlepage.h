#pragma once
// The single record page: record currentRecord of displayRecords with its
// labelled values, the four step buttons, the record chooser and the
// "Select Record" check box.

#include <QWidget>
#include <array>
#include <memory>

#include "records/viewformat.h"

class QLabel;

namespace Ui {
class SinglePage;
}

class SinglePage : public QWidget {
    Q_OBJECT
public:
    explicit SinglePage(QWidget* parent = nullptr);
    ~SinglePage() override;

    Ui::SinglePage* ui() const { return ui_.get(); }
    // Where the focus goes after a choice made with the mouse (the page control).
    void setFocusTarget(QWidget* target) { focusTarget_ = target; }

    void refresh();                   // shows record currentRecord, or nothing without data
    void refillChooser();             // entries " 1" .. recordCount, entry currentRecord chosen
    void selectChooserEntry(int index);  // never raises the chooser's change event

    // Handlers.
    void BtnNextRecordClick() { step(NavStep::Next); }
    void BtnPrevRecordClick() { step(NavStep::Prev); }
    void BtnJump5RecClick() { step(NavStep::Jump5); }
    void BtnBack5RecClick() { step(NavStep::Back5); }
    void ComboChooseRecordChange(int index);
    // Returns true when the key is swallowed (anything but Tab and the
    // movement keys Page Up/Down, End, Home and the arrows).
    bool ComboChooseRecordKeyDown(int key);
    void ChkSelectRecordClick();

    bool keyboardMark() const { return keyboardMark_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void step(NavStep how);
    void placeColumns();
    void fitValueLabels();
    // The record number and the eight value labels.
    std::array<QLabel*, 9> valueLabels() const;

    std::unique_ptr<Ui::SinglePage> ui_;
    QWidget* focusTarget_ = nullptr;
    bool keyboardMark_ = false;
    bool passingKeyOn_ = false;  // a key this page hands on to the chooser's list
    bool captionsSized_ = false;
};
