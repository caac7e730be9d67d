#pragma once
// The archive's key of a record.  Which records are one record is
// workshop/identity.h's rule; how full a source's texts are (RecordForm),
// save/readback.h's.

#include <string>

#include "records/recordstore.h"
#include "records/testrecord.h"
#include "save/readback.h"
#include "workshop/identity.h"

// The archive's key: the record identity's SHA-256, as 64 lower-case hex
// digits.
std::string recordKey(const std::string& testerSerial, const TestRecord& record);
