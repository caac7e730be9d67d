#pragma once
// The record selector of the save and print dialogs: the entries "1" to
// recordCount, one per record of displayRecords in the order shown, with the
// record of the single record page (currentRecord) chosen.

class QComboBox;

void fillRecordSelector(QComboBox* selector);
