#include "records/recordstore.h"

#include <algorithm>
#include <new>
#include <utility>

std::atomic<unsigned> recordCount{0};
std::atomic<unsigned> currentRecord{0};
std::atomic<int> haveData{0};
std::atomic<int> dataSaved{1};
std::atomic<int> savePending{0};
std::atomic<int> saveDialogRequested{0};
std::atomic<int> gridMeasured{0};
std::atomic<int> saveDialogMode{ExportCsvAll};
std::atomic<int> printRange{PrintSelected};
std::atomic<int> printFormat{PrintListFormat};
std::atomic<int> saveInProgress{0};

RecordStore& recordStore() {
    // Never destroyed: worker threads may still read it while the process ends.
    static RecordStore* store = new RecordStore;
    return *store;
}

void resetSharedStateForTest() {
    recordCount = 0;
    currentRecord = 0;
    haveData = 0;
    dataSaved = 1;
    savePending = 0;
    saveDialogRequested = 0;
    gridMeasured = 0;
    saveDialogMode = ExportCsvAll;
    printRange = PrintSelected;
    printFormat = PrintListFormat;
    saveInProgress = 0;
    recordStore().clear();
}

bool RecordStore::replace(std::size_t capacity, const std::vector<TestRecord>& records,
                          const TesterIdentity& tester) {
    if (capacity == 0) return false;
    std::vector<TestRecord> fresh[4];
    TesterIdentity identity;
    try {
        for (auto& set : fresh) set.assign(capacity, emptyRecord());
        identity = tester;
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::size_t n = std::min(capacity, records.size());
    for (std::size_t i = 0; i < n; ++i) {
        fresh[Received][i] = records[i];
        fresh[Received][i].selected = 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (int s = 0; s < 4; ++s) sets_[s].swap(fresh[s]);
    tester_ = std::move(identity);
    capacity_ = capacity;
    return true;
}

void RecordStore::fillDisplay(unsigned n) {
    std::lock_guard<std::mutex> lock(mutex_);
    n = static_cast<unsigned>(std::min<std::size_t>(n, capacity_));
    recordCount = n;
    dataSaved = 0;
    currentRecord = 0;
    std::copy_n(sets_[Received].begin(), n, sets_[Display].begin());
}

void RecordStore::reorder(Set scratch, const std::function<void(TestRecord*, std::size_t)>& sorter) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = std::min<std::size_t>(recordCount, capacity_);
    if (scratch == Display || scratch == Received || n == 0) return;
    std::copy_n(sets_[Display].begin(), n, sets_[scratch].begin());
    sorter(sets_[scratch].data(), n);
    std::copy_n(sets_[scratch].begin(), n, sets_[Display].begin());
}

TestRecord RecordStore::record(std::size_t i, Set set) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return i < capacity_ ? sets_[set][i] : emptyRecord();
}

std::vector<TestRecord> RecordStore::displayed(TesterIdentity* tester) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = std::min<std::size_t>(recordCount, capacity_);
    if (tester) *tester = tester_;
    return std::vector<TestRecord>(sets_[Display].begin(), sets_[Display].begin() + n);
}

TesterIdentity RecordStore::tester() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tester_;
}

void RecordStore::toggleSelected(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (i >= capacity_) return;
    auto& flag = sets_[Display][i].selected;
    flag = flag == 1 ? 0 : 1;
}

void RecordStore::setAllSelected(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = std::min<std::size_t>(recordCount, capacity_);
    for (std::size_t i = 0; i < n; ++i) sets_[Display][i].selected = on ? 1 : 0;
}

bool RecordStore::anySelected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = std::min<std::size_t>(recordCount, capacity_);
    return std::any_of(sets_[Display].begin(), sets_[Display].begin() + n,
                       [](const TestRecord& r) { return r.selected != 0; });
}

void RecordStore::setSelected(std::size_t i, bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (i < capacity_) sets_[Display][i].selected = on ? 1 : 0;
}

void RecordStore::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& set : sets_) set.clear();
    tester_ = TesterIdentity();
    capacity_ = 0;
}

std::size_t RecordStore::capacity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return capacity_;
}

void markSaved(bool written) { dataSaved = written ? 1 : 0; }
