#include "app/recordgrid.h"

#include <QFocusEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>
#include <algorithm>
#include <cstdlib>

#include "records/recordstore.h"

RecordGrid::RecordGrid(QWidget* parent) : QTableWidget(parent) {
    // The headers are hidden before the columns are made, so that nothing
    // measures header captions (in a bold face no first frame shows).
    verticalHeader()->hide();
    setHorizontalHeader(new RecordHeader(this));
    horizontalHeader()->hide();
    setColumnCount(10);
    setRowCount(0);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::NoSelection);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setTabKeyNavigation(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(15);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setMinimumSectionSize(1);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setHighlightSections(false);
    const int designWidths[10] = {64, 59, 64, 64, 64, 64, 64, 64, 64, 64};
    for (int c = 0; c < 10; ++c) setColumnWidth(c, designWidths[c]);
    setItemDelegate(new RecordCellDelegate(this));
    setShowGrid(false);
    // The grid is white, enabled or not: cells paint their own white
    // background, and the area beyond the last row or column matches them
    // (the empty grid at start is one white, line-less row).
    QPalette pal = palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        pal.setColor(group, QPalette::Base, Qt::white);
    setPalette(pal);
}

void RecordGrid::setCellPainter(const GridCellPainter& painter) { painter_ = painter; }

void RecordGrid::setGridRowCount(int rows) {
    // Row 0 lives in the table's header, shown or not; rows 1.. are the table's.
    setRowCount(std::max(rows - 1, 0));
    // Cells that the grid gains start empty, as in a string grid.
    for (int r = 0; r < rowCount(); ++r)
        for (int c = 0; c < columnCount(); ++c)
            if (!item(r, c)) setItem(r, c, new QTableWidgetItem());
}

int RecordGrid::gridRowCount() const { return rowCount() + 1; }

void RecordGrid::setFixedRows(int rows) {
    fixedRows_ = rows > 0 ? 1 : 0;
    horizontalHeader()->setVisible(fixedRows_ > 0);
}

void RecordGrid::setFixedColumns(int columns) {
    fixedColumns_ = columns > 0 ? 1 : 0;
    viewport()->update();
    horizontalHeader()->viewport()->update();
}

void RecordGrid::scrollContentsBy(int dx, int dy) {
    QTableWidget::scrollContentsBy(dx, dy);
    // The fixed column is painted over the scrolled cells; a scroll that
    // merely shifts the old picture would shift it too.
    if (fixedColumns_ > 0) {
        viewport()->update();
        horizontalHeader()->viewport()->update();
    }
}

void RecordGrid::setGridLineWidth(int width) {
    lineWidth_ = std::max(width, 0);
    setShowGrid(lineWidth_ > 0);
}

void RecordGrid::setCellText(int column, int row, const QString& text) {
    if (column < 0 || column >= columnCount()) return;
    if (row == 0) {
        QTableWidgetItem* header = horizontalHeaderItem(column);
        if (!header) {
            header = new QTableWidgetItem();
            setHorizontalHeaderItem(column, header);
        }
        header->setText(text);
        return;
    }
    if (row - 1 >= rowCount()) return;
    QTableWidgetItem* cell = item(row - 1, column);
    if (!cell) {
        cell = new QTableWidgetItem();
        setItem(row - 1, column, cell);
    }
    cell->setText(text);
}

QString RecordGrid::cellText(int column, int row) const {
    if (row == 0) {
        QTableWidgetItem* header = horizontalHeaderItem(column);
        return header ? header->text() : QString();
    }
    QTableWidgetItem* cell = item(row - 1, column);
    return cell ? cell->text() : QString();
}

int RecordGrid::selectedGridRow() const { return currentRow() + 1; }

void RecordGrid::setCurrentGridRow(int row) {
    if (row >= 1 && row - 1 < rowCount())
        setCurrentCell(row - 1, std::max(currentColumn(), 0));
}

void RecordGrid::setTopGridRow(int row) {
    if (row < 1) return;
    verticalScrollBar()->setValue(row - 1);
}

int RecordGrid::topGridRow() const { return verticalScrollBar()->value() + 1; }

void RecordGrid::showSelection() {
    if (!painter_.isSelected) return;
    QItemSelection selection;
    for (int r = 0; r < rowCount(); ++r)
        if (painter_.isSelected(r + 1))
            selection.select(model()->index(r, 0), model()->index(r, columnCount() - 1));
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

void RecordGrid::repaintGridRow(int row) {
    if (row < 1 || row - 1 >= rowCount()) return;
    showSelection();
    QRect area = visualRect(model()->index(row - 1, 0))
                     .united(visualRect(model()->index(row - 1, columnCount() - 1)));
    viewport()->repaint(QRect(0, area.top(), viewport()->width(), area.height()));
}

QFont RecordGrid::fontFor(int column, int row) const {
    if (row == 0) return painter_.headerFont;
    if (column == 0) return painter_.numberColumnFont;
    return font();
}

void RecordGrid::fitIfNeeded() {
    if (gridMeasured.load() != 0) return;
    const int rows = gridRowCount();
    // Each text is measured in the font it is drawn in, so no cell is cut.
    auto measureRows = [&](int first, int last) {
        int height = 0;
        for (int r = first; r <= last; ++r)
            for (int c = 0; c < columnCount(); ++c) {
                QString text = cellText(c, r);
                if (!text.isEmpty()) height = std::max(height, QFontMetrics(fontFor(c, r)).height());
            }
        return height;
    };
    int dataHeight = measureRows(1, rows - 1);
    int rowHeight = dataHeight > 0 ? lineWidth_ + dataHeight + 1 : 15;
    for (int r = 0; r < rowCount(); ++r) setRowHeight(r, rowHeight);
    int headerHeight = measureRows(0, 0);
    if (headerHeight > 0) horizontalHeader()->setFixedHeight(lineWidth_ + headerHeight + 1);
    for (int c = 0; c < columnCount(); ++c) {
        int widest = 0;
        for (int r = 0; r < rows; ++r) {
            QString text = cellText(c, r);
            if (!text.isEmpty())
                widest = std::max(widest, QFontMetrics(fontFor(c, r)).horizontalAdvance(text));
        }
        setColumnWidth(c, lineWidth_ + widest + 5);
    }
    gridMeasured = 1;
}

RecordGrid::Colours RecordGrid::coloursFor(int column, int row) const {
    const QPalette& pal = palette();
    if (!isEnabled()) return {Qt::white, pal.color(QPalette::Disabled, QPalette::Text)};
    bool selected = row >= 1 && column >= 1 && painter_.isSelected && painter_.isSelected(row);
    if (selected)
        return {pal.color(QPalette::Active, QPalette::Highlight),
                pal.color(QPalette::Active, QPalette::HighlightedText)};
    return {Qt::white, Qt::black};
}

QColor RecordGrid::focusOutline(const QPalette& palette, const QColor& background) {
    const QColor highlight = palette.color(QPalette::Active, QPalette::Highlight);
    return background == highlight ? palette.color(QPalette::Active, QPalette::HighlightedText)
                                   : highlight;
}

void RecordGrid::mousePressEvent(QMouseEvent* event) {
    QModelIndex index = indexAt(event->position().toPoint());
    QTableWidget::mousePressEvent(event);
    if (event->button() == Qt::LeftButton && index.isValid()) {
        setCurrentCell(index.row(), index.column());
        emit userClicked();
    }
}

void RecordGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && index.isValid()) emit userDoubleClicked();
}

void RecordGrid::keyPressEvent(QKeyEvent* event) {
    // Space and Enter act on the current row as a click and a double click
    // on it do; with a modifier they are left to the table and the window.
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    const bool onRow = currentRow() >= 0;
    if (plain && onRow && event->key() == Qt::Key_Space) {
        event->accept();
        emit userClicked();
        return;
    }
    if (plain && onRow && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        event->accept();
        emit userDoubleClicked();
        return;
    }
    int before = currentRow();
    QTableWidget::keyPressEvent(event);
    if (currentRow() != before && currentRow() >= 0) emit userClicked();
}

void RecordGrid::focusInEvent(QFocusEvent* event) {
    QTableWidget::focusInEvent(event);
    const Qt::FocusReason reason = event->reason();
    if (rowCount() == 0 || (reason != Qt::TabFocusReason && reason != Qt::BacktabFocusReason &&
                            reason != Qt::ShortcutFocusReason))
        return;
    // Tabbed into: the row the keys act on is the current one, or the first
    // row when there is none (a move by the program, which toggles nothing),
    // and it is scrolled into view with its focus outline.
    if (currentRow() < 0) setCurrentCell(0, std::max(currentColumn(), 0));
    scrollTo(currentIndex());
    viewport()->update();
}

void RecordGrid::wheelEvent(QWheelEvent* event) {
    const QPoint delta = event->angleDelta();
    if (delta.y() == 0) {
        // Sideways travel scrolls the columns as usual.
        QTableWidget::wheelEvent(event);
        return;
    }
    event->accept();
    // Each whole wheel step (120) moves the current row by one, as an arrow
    // key does, and toggles the row it lands on; finer travel (touchpads,
    // smooth wheels) adds up until it makes a whole step.
    wheelRemainder_ += delta.y();
    while (std::abs(wheelRemainder_) >= 120 && rowCount() > 0) {
        const int direction = wheelRemainder_ > 0 ? -1 : 1;
        wheelRemainder_ += direction * 120;
        const int target = std::clamp(currentRow() + direction, 0, rowCount() - 1);
        if (target == currentRow()) continue;
        setCurrentCell(target, std::max(currentColumn(), 0));
        scrollTo(model()->index(target, 0));
        emit userClicked();
    }
    if (rowCount() == 0) wheelRemainder_ = 0;
}

void RecordGrid::paintEvent(QPaintEvent* event) {
    fitIfNeeded();
    QTableWidget::paintEvent(event);
    if (fixedColumns_ == 0 || horizontalOffset() == 0 || rowCount() == 0) return;
    // Scrolled sideways: the number column is drawn again at the left edge,
    // over whatever has scrolled beneath it.
    QPainter painter(viewport());
    const int width = columnWidth(0);
    QStyleOptionViewItem base;
    initViewItemOption(&base);
    const QColor gridColour = QColor::fromRgba(static_cast<QRgb>(
        style()->styleHint(QStyle::SH_Table_GridLineColor, &base, this)));
    const int first = std::max(rowAt(0), 0);
    int last = rowAt(viewport()->height() - 1);
    if (last < 0) last = rowCount() - 1;
    for (int r = first; r <= last; ++r) {
        const QRect cell(0, rowViewportPosition(r), width, rowHeight(r));
        QStyleOptionViewItem option = base;
        option.rect = showGrid() ? cell.adjusted(0, 0, -1, -1) : cell;
        if (r == currentRow() && currentColumn() == 0 && hasFocus())
            option.state |= QStyle::State_HasFocus;
        itemDelegate()->paint(&painter, option, model()->index(r, 0));
        if (showGrid()) {
            painter.setPen(gridColour);
            painter.drawLine(cell.topRight(), cell.bottomRight());
            painter.drawLine(cell.bottomLeft(), cell.bottomRight());
        }
    }
}

void RecordCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    const int row = index.row() + 1;
    const int column = index.column();
    RecordGrid::Colours colours = grid_->coloursFor(column, row);
    painter->save();
    painter->fillRect(option.rect, colours.background);
    QFont font = grid_->fontFor(column, row);
    painter->setFont(font);
    painter->setPen(colours.text);
    QString text = index.data(Qt::DisplayRole).toString();
    QFontMetrics metrics(font);
    int x = option.rect.left() + option.rect.width() - metrics.horizontalAdvance(text);
    painter->setClipRect(option.rect);
    painter->drawText(QPoint(x, option.rect.top() + metrics.ascent()), text);
    if (option.state & QStyle::State_HasFocus) {
        painter->setPen(QPen(RecordGrid::focusOutline(grid_->palette(), colours.background), 2,
                             Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(QRectF(option.rect).adjusted(1, 1, -1, -1));
    }
    painter->restore();
}

RecordHeader::RecordHeader(RecordGrid* grid) : QHeaderView(Qt::Horizontal, grid), grid_(grid) {
    setSectionsClickable(false);
}

void RecordHeader::paintEvent(QPaintEvent* event) {
    QHeaderView::paintEvent(event);
    if (grid_->fixedColumns() == 0 || offset() == 0 || count() == 0) return;
    QPainter painter(viewport());
    paintSection(&painter, QRect(0, 0, sectionSize(0), viewport()->height()), 0);
}

void RecordHeader::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    RecordGrid::Colours colours = grid_->coloursFor(logicalIndex, 0);
    painter->save();
    painter->fillRect(rect, colours.background);
    if (grid_->gridLineWidth() > 0) {
        painter->setPen(palette().color(QPalette::Mid));
        painter->drawLine(rect.topRight(), rect.bottomRight());
        painter->drawLine(rect.bottomLeft(), rect.bottomRight());
    }
    QFont font = grid_->fontFor(logicalIndex, 0);
    painter->setFont(font);
    painter->setPen(colours.text);
    QString text = grid_->cellText(logicalIndex, 0);
    QFontMetrics metrics(font);
    int x = rect.left() + (rect.width() - metrics.horizontalAdvance(text)) / 2;
    painter->setClipRect(rect);
    painter->drawText(QPoint(x, rect.top() + metrics.ascent()), text);
    painter->restore();
}
