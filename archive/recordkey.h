#pragma once
// The archive's key of a record, and how full a source's texts are.  Which
// records are one record is workshop/identity.h's rule.

#include <string>

#include "records/recordstore.h"
#include "records/testrecord.h"
#include "workshop/identity.h"

// How much of a record's raw form a source keeps, from least to most: a CSV
// export has lost its commas (and the code of an mmHg unit), a text file has
// lost only the unit code of mmHg, a received block keeps every byte.
enum class RecordForm : int { Csv = 1, Text = 2, Received = 3 };

// The archive's key: the record identity's SHA-256, as 64 lower-case hex
// digits.
std::string recordKey(const std::string& testerSerial, const TestRecord& record);
