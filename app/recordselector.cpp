#include "app/recordselector.h"

#include <QComboBox>
#include <QLabel>

#include "app/dialogcontrols.h"
#include "app/fixedheightitems.h"

#include "records/recordstore.h"

void fillRecordSelector(QComboBox* selector) {
    selector->clear();
    const unsigned count = recordCount;
    for (unsigned i = 0; i < count; ++i) selector->addItem(QString::number(i + 1));
    const unsigned current = currentRecord;
    selector->setCurrentIndex(current < count ? static_cast<int>(current) : -1);
}

QComboBox* makeRecordSelector(QWidget* group, const char* name, QLabel** label) {
    *label = makeControl<QLabel>(group, "recordLabel", QStringLiteral("Record"),
                                 QStringLiteral("Record"), QRect(56, 84, 35, 13));
    auto* selector = new QComboBox(group);
    selector->setObjectName(QString::fromLatin1(name));
    selector->setAccessibleName(QStringLiteral("Record"));
    selector->setFont(dialogFont(11));
    selector->setGeometry(96, 79, 57, 19);
    selector->setItemDelegate(new FixedHeightItems(13, selector));
    (*label)->setBuddy(selector);
    (*label)->setEnabled(false);
    selector->setEnabled(false);
    return selector;
}
