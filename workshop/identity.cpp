#include "workshop/identity.h"

#include "records/recordstore.h"

namespace {

void append(std::string& out, const std::string& field) {
    const std::string text = identityText(field);
    out += std::to_string(text.size());
    out += ':';
    out += text;
}

}  // namespace

std::string identityText(std::string text) {
    text = commasAsSpaces(std::move(text));
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    text.erase(text.find_last_not_of(' ') + 1);
    text.erase(0, first);
    return text;
}

std::string recordIdentity(const std::string& serial, const TestRecord& r) {
    std::string out;
    out += std::to_string(serial.size()) + ':' + serial;
    for (const std::string& text :
         {FIELD_TEXT(r, deviceID), FIELD_TEXT(r, testDate), FIELD_TEXT(r, testTime),
          FIELD_TEXT(r, testDuration), FIELD_TEXT(r, flow), FIELD_TEXT(r, volume),
          FIELD_TEXT(r, pressureMMHG), FIELD_TEXT(r, pressureUser), FIELD_TEXT(r, peakPressureTime),
          std::string(unitName(r.pressureUnits))})
        append(out, text);
    return out;
}

bool sameRecord(const std::string& serialA, const TestRecord& a, const std::string& serialB,
                const TestRecord& b) {
    return recordIdentity(serialA, a) == recordIdentity(serialB, b);
}
