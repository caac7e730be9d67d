#include "device/decode.h"

#include <algorithm>
#include <atomic>
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

bool decodeRecords(const std::uint8_t* block, std::vector<TestRecord>* records,
                   std::size_t* capacity) {
    if (!block || !records || !capacity) return false;
    if (block[0] != 'B' || block[1] > kSlotCount) return false;

    std::vector<TestRecord> fresh;
    std::size_t newCapacity = 0;
    const unsigned index = block[1];
    if (index != 0) {
        DeviceRecordSlot slot = slotAt(block, index);
        if (slotEmpty(slot)) return false;
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
        if (fresh.empty()) return false;
        newCapacity = announced;
    }
    records->swap(fresh);
    *capacity = newCapacity;
    return true;
}

bool blockHoldsNoRecords(const std::uint8_t* block) {
    if (!block || block[0] != 'B' || block[1] != 0 || block[kRecordCountOffset] != 0) return false;
    for (std::size_t s = 1; s <= kMaxRecords; ++s)
        if (!slotEmpty(slotAt(block, s))) return false;
    return true;
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
        // Enter saves first: the answer that keeps the data.
        if (dataSaved.load() == 0 &&
            showMessage(kNewDataText, kNewDataCaption, MsgIcon::Warning, MsgButtons::YesNo, true,
                        MsgAnswer::Yes) == MsgAnswer::Yes) {
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
