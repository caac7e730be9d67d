#pragma once
// The list grid: a table whose header row is the grid's fixed row 0 and
// whose rows 1..n are the records.  It draws every cell itself (the
// selection colours come from the records' selected flags; the table's own
// selection only mirrors them for assistive technology), fits row heights
// and column widths once after each fill, and tells apart the user's moves
// of the current row (click, arrow and page keys, wheel) from the program's.
// From the keyboard, Space is a click on the current row and Enter a double
// click.

#include <QFont>
#include <QHeaderView>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <functional>

class RecordGrid;

// Draws one cell by the list's rules; used for data cells and header cells.
struct GridCellPainter {
    // Whether data row r (counted from 1) holds a selected record.
    std::function<bool(int row)> isSelected;
    QFont headerFont;
    QFont numberColumnFont;
    QFont plainFont;
};

class RecordGrid : public QTableWidget {
    Q_OBJECT
public:
    explicit RecordGrid(QWidget* parent = nullptr);

    void setCellPainter(const GridCellPainter& painter);
    const GridCellPainter& cellPainter() const { return painter_; }

    // Grid rows in the list's terms: row 0 is the header.
    void setGridRowCount(int rows);
    int gridRowCount() const;
    void setFixedRows(int rows);  // 0 or 1: whether row 0 shows as the header
    // 0 or 1: whether column 0 (the record numbers) stays in view while the
    // other columns scroll sideways.
    void setFixedColumns(int columns);
    int fixedColumns() const { return fixedColumns_; }
    void setGridLineWidth(int width);
    int gridLineWidth() const { return lineWidth_; }
    void setCellText(int column, int row, const QString& text);
    QString cellText(int column, int row) const;

    // The grid row the user is on (row 0 = header / none).
    int selectedGridRow() const;
    // Makes grid row r the current one without raising a click.
    void setCurrentGridRow(int row);
    // Scrolls so that grid row r is the top visible data row.
    void setTopGridRow(int row);
    int topGridRow() const;
    // Repaints grid row r at once (after its record's selection changed).
    void repaintGridRow(int row);
    // Mirrors the records' selected flags into the table's selection, which
    // is what screen readers report as the selected rows.  The user cannot
    // select rows directly: a click or key only moves the current row.
    void showSelection();

    // Fits rows and columns to the present texts if gridMeasured is 0.
    void fitIfNeeded();
    // The font a cell is drawn in.
    QFont fontFor(int column, int row) const;

    // Colours of the colour table.
    struct Colours {
        QColor background;
        QColor text;
    };
    Colours coloursFor(int column, int row) const;
    // The focused cell's outline, two pixels wide and plain to see on either
    // palette: the highlight colour, or on a cell drawn in that colour (a
    // selected record) the highlighted text colour.
    static QColor focusOutline(const QPalette& palette, const QColor& background);

signals:
    void userClicked();        // the user moved to (or clicked) a row, or pressed Space
    void userDoubleClicked();  // double click on a data row, or Enter

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    // Typing does not move the current row: every cell begins with a blank,
    // so a type-ahead search would step through the rows and toggle them.
    void keyboardSearch(const QString&) override {}
    void scrollContentsBy(int dx, int dy) override;

private:
    friend class RecordCellDelegate;
    GridCellPainter painter_;
    int fixedRows_ = 0;
    int fixedColumns_ = 0;
    int lineWidth_ = 0;
    int wheelRemainder_ = 0;  // vertical wheel travel short of a whole step
};

// Paints data cells: background and text by the colour table, right-aligned
// at the top edge; column 0 in the number font.
class RecordCellDelegate : public QStyledItemDelegate {
public:
    explicit RecordCellDelegate(RecordGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

private:
    RecordGrid* grid_;
};

// Paints the header row: centred texts in the header font.
class RecordHeader : public QHeaderView {
public:
    explicit RecordHeader(RecordGrid* grid);

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
    void paintEvent(QPaintEvent* event) override;

private:
    RecordGrid* grid_;
};
