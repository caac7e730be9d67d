#pragma once
// The record selector of the save and print dialogs: the entries "1" to
// recordCount, one per record of displayRecords in the order shown, with the
// record of the single record page (currentRecord) chosen.

class QComboBox;
class QLabel;
class QWidget;

void fillRecordSelector(QComboBox* selector);

// The "Record" label (recordLabel) and the selector named `name` beside it,
// at their places in the dialog's group box, both disabled until a single
// record is chosen.  The selector is spoken as "Record"; its entries are 13
// pixels high.
QComboBox* makeRecordSelector(QWidget* group, const char* name, QLabel** label);
