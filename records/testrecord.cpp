#include "records/testrecord.h"

#include <cstring>

const char* unitName(char pressureUnits) {
    switch (pressureUnits) {
        case 'p': return "PSI";
        case 'k': return "kPa";
        case 'b': return "Bar";
        default: return "mmHg";
    }
}

TestRecord emptyRecord() {
    TestRecord r;
    std::memset(&r, 0, sizeof r);
    return r;
}

void setField(char* field, std::size_t fieldSize, const std::string& text) {
    std::memset(field, 0, fieldSize);
    std::memcpy(field, text.data(), std::min(text.size(), fieldSize - 1));
}
