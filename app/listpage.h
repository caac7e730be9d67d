#pragma once
// The list page: one grid row per record of displayRecords and the page's
// buttons.  It prepares and fills the grid; clicks and double clicks are
// handed to the main window, which owns the commands.

#include <QWidget>
#include <memory>

namespace Ui {
class ListPage;
}
class RecordGrid;

class ListPage : public QWidget {
    Q_OBJECT
public:
    explicit ListPage(QWidget* parent = nullptr);
    ~ListPage() override;

    Ui::ListPage* ui() const { return ui_.get(); }
    RecordGrid* grid() const;

    // Two rows, one fixed row, no fixed column, no grid lines, the ten
    // header texts in row 0.
    void prepareGrid();
    // Rewrites rows 1..row count - 1 from displayRecords.
    void writeCells();

private:
    std::unique_ptr<Ui::ListPage> ui_;
};
