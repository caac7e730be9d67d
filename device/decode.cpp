#include "device/decode.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/guard.h"
#include "app/messages.h"
#include "device/clock.h"
#include "device/linkview.h"
#include "device/monitor.h"
#include "records/recordstore.h"

namespace {

const char* const kNewDataText =
    "There is new data and current data has not been saved.\r\r"
    "Do you wish to save current data?";
const char* const kNewDataCaption = "New Data";

constexpr unsigned kSavePollMs = 100;

// Copies a slot text of at most `width` bytes (ended early by a zero byte)
// into a record field, which is cleared first.  The field is always at least
// one byte wider than the slot text, so the terminator always fits.
template <std::size_t FieldSize, std::size_t Width>
void copyText(char (&field)[FieldSize], const char (&text)[Width]) {
    static_assert(FieldSize > Width, "record field must hold the text and its terminator");
    std::memset(field, 0, FieldSize);
    std::size_t n = 0;
    while (n < Width && text[n] != '\0') ++n;
    std::memcpy(field, text, n);
}

// The reverse: a record text into a slot text of `Width` bytes; a text that
// fills the width gets no terminator, as on the wire.
template <std::size_t Width, std::size_t FieldSize>
void copyToSlot(char (&text)[Width], const char (&field)[FieldSize]) {
    std::memset(text, 0, Width);
    std::size_t n = 0;
    while (n < Width && n < FieldSize && field[n] != '\0') ++n;
    std::memcpy(text, field, n);
}

DeviceRecordSlot slotAt(const std::uint8_t* block, std::size_t slotNumber) {
    DeviceRecordSlot slot;
    std::memcpy(&slot, block + 2 + kSlotSize * (slotNumber - 1), sizeof slot);
    return slot;
}

bool slotEmpty(const DeviceRecordSlot& slot) { return slot.deviceID[0] == '\0'; }

// The first of the record slots (1 to kMaxRecords) that is not empty; 0
// when all are.
std::size_t firstRecordSlot(const std::uint8_t* block) {
    for (std::size_t s = 1; s <= kMaxRecords; ++s)
        if (!slotEmpty(slotAt(block, s))) return s;
    return 0;
}

constexpr std::size_t kSerialOffset = 1;
constexpr std::size_t kIdOffset = kSerialOffset + kSerialWidth;

// A text of at most `width` bytes, ended early by a zero byte.
std::string zeroEnded(const std::uint8_t* bytes, std::size_t width) {
    std::size_t n = 0;
    while (n < width && bytes[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(bytes), n);
}

// A byte as a reason shows it: 'B' when printable, 0x07 otherwise.
std::string byteText(std::uint8_t b) {
    char text[8];
    if (b >= 0x20 && b < 0x7f)
        std::snprintf(text, sizeof text, "'%c'", b);
    else
        std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(b));
    return text;
}

// "it starts with X, not M": the first byte, not the marker it should be.
std::string wrongMarker(std::uint8_t first, std::uint8_t marker) {
    return "it starts with " + byteText(first) + ", not " + byteText(marker);
}

// Says why, when asked, and fails.
bool refuse(std::string* why, const std::string& reason) {
    if (why) *why = reason;
    return false;
}

// Used when no user interface is installed: only the record store changes.
class HeadlessView : public LinkView {
public:
    void setConnectionStatus(const std::string&) override {}
    void setDownloadEnabled(bool) override {}
    void showSaveDialogNow() override {}
    int presentRecords(const std::vector<TestRecord>& records, std::size_t capacity,
                       const TesterIdentity& tester) override {
        return storeNewRecords(records, capacity, tester);
    }
};

HeadlessView headlessView;
std::atomic<LinkView*> installedView{nullptr};

// Never destroyed: the command thread may still decode while the process ends.
struct BlockObserver {
    std::mutex mutex;
    std::function<void(const std::uint8_t*)> see;
};

BlockObserver& blockObserver() {
    static BlockObserver* observer = new BlockObserver;
    return *observer;
}

void showToObserver(const std::uint8_t* block) {
    BlockObserver& o = blockObserver();
    std::lock_guard<std::mutex> lock(o.mutex);
    if (o.see && block) o.see(block);
}

}  // namespace

void setBlockObserver(std::function<void(const std::uint8_t* block)> observer) {
    BlockObserver& o = blockObserver();
    std::lock_guard<std::mutex> lock(o.mutex);
    o.see = std::move(observer);
}

void setLinkView(LinkView* view) { installedView.store(view, std::memory_order_release); }

LinkView& linkView() {
    LinkView* v = installedView.load(std::memory_order_acquire);
    return v ? *v : headlessView;
}

int storeNewRecords(const std::vector<TestRecord>& records, std::size_t capacity,
                    const TesterIdentity& tester) {
    if (records.empty()) return -1;
    if (!recordStore().replace(capacity, records, tester)) return -1;
    haveData = 1;
    recordStore().fillDisplay(static_cast<unsigned>(records.size()));
    return 0;
}

TestRecord slotToRecord(const DeviceRecordSlot& slot) {
    TestRecord r = emptyRecord();
    r.pressureUnits = slot.pressureUnits;
    copyText(r.deviceID, slot.deviceID);
    copyText(r.testDate, slot.testDate);
    copyText(r.testTime, slot.testTime);
    copyText(r.flow, slot.flow);
    copyText(r.volume, slot.volume);
    copyText(r.testDuration, slot.testDuration);
    copyText(r.pressureMMHG, slot.pressureMMHG);
    copyText(r.pressureUser, slot.pressureUser);
    copyText(r.peakPressureTime, slot.peakPressureTime);
    r.selected = 0;
    return r;
}

DeviceRecordSlot recordToSlot(const TestRecord& r) {
    DeviceRecordSlot slot;
    std::memset(&slot, 0, sizeof slot);
    slot.pressureUnits = r.pressureUnits;
    copyToSlot(slot.deviceID, r.deviceID);
    copyToSlot(slot.testDate, r.testDate);
    copyToSlot(slot.testTime, r.testTime);
    copyToSlot(slot.flow, r.flow);
    copyToSlot(slot.volume, r.volume);
    copyToSlot(slot.testDuration, r.testDuration);
    copyToSlot(slot.pressureMMHG, r.pressureMMHG);
    copyToSlot(slot.pressureUser, r.pressureUser);
    copyToSlot(slot.peakPressureTime, r.peakPressureTime);
    return slot;
}

bool parseIdentityReply(const std::uint8_t* bytes, std::size_t size, TesterIdentity* out,
                        std::string* why) {
    if (!bytes || size != kIdentityReplySize)
        return refuse(why, "it is " + std::to_string(size) + " bytes, not " +
                               std::to_string(kIdentityReplySize));
    if (bytes[0] != kIdentityReplyMarker)
        return refuse(why, wrongMarker(bytes[0], kIdentityReplyMarker));
    TesterIdentity read{zeroEnded(bytes + kIdOffset, kIdWidth),
                        zeroEnded(bytes + kSerialOffset, kSerialWidth)};
    *out = std::move(read);
    return true;
}

bool decodeRecords(const std::uint8_t* block, std::vector<TestRecord>* records,
                   std::size_t* capacity, std::string* why) {
    if (!block || !records || !capacity) return refuse(why, "no block");
    if (block[0] != kDataBlockMarker) return refuse(why, wrongMarker(block[0], kDataBlockMarker));
    const unsigned index = block[1];
    if (index > kSlotCount)
        return refuse(why, "it is a block of record " + std::to_string(index) + ", past the " +
                               std::to_string(kSlotCount) + " slots");

    std::vector<TestRecord> fresh;
    std::size_t newCapacity = 0;
    if (index != 0) {
        DeviceRecordSlot slot = slotAt(block, index);
        if (slotEmpty(slot))
            return refuse(why, "it is a block of record " + std::to_string(index) +
                                   " alone, yet that slot is empty");
        fresh.push_back(slotToRecord(slot));
        newCapacity = 1;
    } else {
        const std::size_t announced = block[kRecordCountOffset];
        fresh.reserve(std::min(announced, kMaxRecords));
        // Slots 124 to 128 never hold records: the last one carries the count.
        for (std::size_t s = 1; s <= kMaxRecords && fresh.size() < announced; ++s) {
            DeviceRecordSlot slot = slotAt(block, s);
            if (!slotEmpty(slot)) fresh.push_back(slotToRecord(slot));
        }
        if (fresh.empty()) {
            if (announced != 0)
                return refuse(why, "its count is " + std::to_string(announced) +
                                       ", yet slots 1 to " + std::to_string(kMaxRecords) +
                                       " are all empty");
            const std::size_t s = firstRecordSlot(block);
            return refuse(
                why, s == 0 ? "its count is 0: the tester holds no records"
                            : "its count is 0, yet slot " + std::to_string(s) + " holds a record");
        }
        newCapacity = announced;
    }
    records->swap(fresh);
    *capacity = newCapacity;
    return true;
}

bool blockHoldsNoRecords(const std::uint8_t* block) {
    return block && block[0] == kDataBlockMarker && block[1] == 0 &&
           block[kRecordCountOffset] == 0 && firstRecordSlot(block) == 0;
}

int decodeDataBlock(const std::uint8_t* block) {
    int result = -1;
    guarded("usbcomm", __LINE__, [&] {
        showToObserver(block);
        std::vector<TestRecord> records;
        std::size_t capacity = 0;
        if (!decodeRecords(block, &records, &capacity)) return;
        const bool singleRecord = block[1] != 0;
        // The records carry the identity of the tester they came from: the
        // one open now, read when it was attached.  Taken before the wait
        // below, during which another tester may be attached and identified.
        const TesterIdentity tester{instrumentIdText(), instrumentSerialText()};

        // Offer to save what is shown before it is replaced; the current
        // records stay untouched until the save dialog has been closed.
        // Enter saves first: the answer that keeps the data.  Escape and the
        // close box do not answer: their usual answer, No, would throw the
        // current records away unasked.
        if (dataSaved.load() == 0 &&
            showMessage(MsgId::NewData, kNewDataText, kNewDataCaption, MsgIcon::Warning, MsgButtons::YesNo, true,
                        MsgAnswer::Yes, MsgEscape::Nothing) == MsgAnswer::Yes) {
            savePending = 1;
            if (singleRecord)
                linkView().showSaveDialogNow();
            else
                saveDialogRequested = 1;
            // Also while the request has not been picked up yet: a save
            // dialog that was already open and is closed meanwhile must not
            // let the new records in before the requested one has shown.
            while ((savePending.load() == 1 || saveDialogRequested.load() == 1) &&
                   !sleepsInterrupted())
                sleepMs(kSavePollMs);
        }

        result = linkView().presentRecords(records, capacity, tester) == 0 ? 0 : -1;
    });
    return result;
}
