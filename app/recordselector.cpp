#include "app/recordselector.h"

#include <QComboBox>

#include "records/recordstore.h"

void fillRecordSelector(QComboBox* selector) {
    selector->clear();
    const unsigned count = recordCount;
    for (unsigned i = 0; i < count; ++i) selector->addItem(QString::number(i + 1));
    const unsigned current = currentRecord;
    selector->setCurrentIndex(current < count ? static_cast<int>(current) : -1);
}
