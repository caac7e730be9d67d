#include "records/testrecord.h"

#include <algorithm>
#include <cstring>

char unitCode(const std::string& name) {
    for (char code : {'p', 'k', 'b'})
        if (name == unitName(code)) return code;
    return 'm';
}

std::string commasAsSpaces(std::string text) {
    for (char& c : text)
        if (c == ',') c = ' ';
    return text;
}

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

std::string fieldText(const char* field, std::size_t width) {
    std::size_t n = 0;
    while (n < width && field[n] != '\0') ++n;
    return std::string(field, n);
}

std::array<std::string, 9> recordBlockLines(const TestRecord& r, unsigned index) {
    return {
        "Record #:" + std::to_string(index + 1),
        "Device ID: " + FIELD_TEXT(r, deviceID),
        "Test Date: " + FIELD_TEXT(r, testDate),
        "Test Time (hh:mm): " + FIELD_TEXT(r, testTime),
        "Test Duration (hh:mm:ss): " + FIELD_TEXT(r, testDuration),
        "Average Rate: " + FIELD_TEXT(r, flow) + " ml/hr",
        "Infused Volume: " + FIELD_TEXT(r, volume) + " ml",
        "Peak Occlusion Pressure: " + FIELD_TEXT(r, pressureMMHG) + " mmHg (" +
            FIELD_TEXT(r, pressureUser) + " " + unitName(r.pressureUnits) + ")",
        "Peak Occlusion Pressure Time (mm:ss): " + FIELD_TEXT(r, peakPressureTime),
    };
}
