#pragma once
// When two records are the same record.  Plain C++.
//
// The same record: the same tester serial number and the same texts in every
// field, each read by identityText, with the pressure unit compared by its
// name (unitName).  So a record downloaded over USB and the same record read
// back from a CSV export or a text file in either format are one record.

#include <string>

#include "records/testrecord.h"

// A field's text as the identity reads it: every comma a space (the CSV
// export writes them so), and the spaces at either end dropped (the list
// format pads its cells, so a text's own spaces there cannot be told from
// the padding).
std::string identityText(std::string text);

// The record's identity as one byte string: serial, the nine texts read by
// identityText and the unit name, each preceded by its length.
std::string recordIdentity(const std::string& testerSerial, const TestRecord& record);

bool sameRecord(const std::string& serialA, const TestRecord& a, const std::string& serialB,
                const TestRecord& b);
