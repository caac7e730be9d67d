#include "app/listpage.h"

#include "app/fonts.h"
#include "app/recordgrid.h"
#include "records/recordstore.h"
#include "records/viewformat.h"
#include "ui_listpage.h"

ListPage::ListPage(QWidget* parent) : QWidget(parent), ui_(std::make_unique<Ui::ListPage>()) {
    ui_->setupUi(this);
    ui_->RecordList->setAccessibleName(QStringLiteral("Record List"));
}

ListPage::~ListPage() = default;

RecordGrid* ListPage::grid() const { return ui_->RecordList; }

void ListPage::prepareGrid() {
    RecordGrid* g = grid();
    g->setFixedRows(1);
    g->setGridRowCount(2);
    g->setFixedColumns(0);
    g->setGridLineWidth(0);
    for (int c = 0; c < kListColumns; ++c) g->setCellText(c, 0, QString::fromLatin1(listHeaderText(c)));
}

void ListPage::writeCells() {
    RecordGrid* g = grid();
    const int rows = g->gridRowCount();
    for (int r = 1; r < rows; ++r) {
        TestRecord record = recordStore().record(static_cast<std::size_t>(r - 1));
        for (int c = 0; c < kListColumns; ++c) {
            std::string text = listCellText(record, static_cast<unsigned>(r), c);
            g->setCellText(c, r, latin1Text(text));
        }
    }
    g->showSelection();
}
