#include "device/virtualtester.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "device/clock.h"
#include "device/decode.h"

namespace {

constexpr int kFail = 1;  // any non-zero status is a failure
constexpr unsigned kPiecesDelayMs = 300;
constexpr unsigned kTooSlowDelayMs = 3500;
// A full-speed USB packet from the chip carries 64 bytes, two of them status
// bytes; at the tester's pace one arrives about every 5 ms, so the receiver's
// first look finds one packet and the rest comes while it waits.
constexpr std::size_t kUsbPacketBytes = 62;
constexpr unsigned kUsbPacketMs = 5;
constexpr std::size_t kIdentitySize = 33;
const char* const kDescription = "Korvane Systems Dosimark Kest";

std::string format(const char* fmt, double a) {
    char buf[32];
    std::snprintf(buf, sizeof buf, fmt, a);
    return buf;
}

// A decimal text of at most five characters, as the tester shows figures.
std::string fiveChars(double v) {
    if (v < 10) return format("%.3f", v);
    if (v < 100) return format("%.2f", v);
    if (v < 1000) return format("%.1f", v);
    return format("%.0f", v);
}

constexpr std::size_t kSerialOffset = 1;
constexpr std::size_t kIdOffset = kSerialOffset + kSerialWidth;

// One text of an identity reply: up to its first zero byte, within its width
// and within the reply.
std::string identityText(const std::vector<std::uint8_t>& reply, std::size_t offset,
                         std::size_t width) {
    std::string text;
    for (std::size_t i = offset; i < offset + width && i < reply.size() && reply[i] != 0; ++i)
        text += static_cast<char>(reply[i]);
    return text;
}

std::string twoDigits(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02u", v % 100);
    return buf;
}

}  // namespace

VirtualTester::VirtualTester()
    : records_(defaultRecords()), identity_(buildIdentityReply("KS0401123", "Dosimark Kest Bay 2")) {}

// ---- the tester's side ----

void VirtualTester::plugIn() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (plugged_) return;
    plugged_ = true;
    openHandle_ = 0;  // handles from before the unplug stay dead
    queue_.clear();
    announcementPending_ = false;
}

void VirtualTester::unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    plugged_ = false;
    queue_.clear();
    announcementPending_ = false;
}

bool VirtualTester::pluggedIn() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_;
}

void VirtualTester::setRecords(const std::vector<TestRecord>& records) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.assign(records.begin(),
                    records.begin() + static_cast<std::ptrdiff_t>(
                                          std::min(records.size(), kMaxRecords)));
}

std::vector<TestRecord> VirtualTester::records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

void VirtualTester::setIdentity(const std::string& serial, const std::string& id) {
    setIdentityReply(buildIdentityReply(serial, id));
}

void VirtualTester::setIdentityReply(const std::vector<std::uint8_t>& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    identity_ = reply;
}

void VirtualTester::setBlockOverride(const std::vector<std::uint8_t>& block) {
    std::lock_guard<std::mutex> lock(mutex_);
    blockOverride_ = block;
}

void VirtualTester::clearBlockOverride() {
    std::lock_guard<std::mutex> lock(mutex_);
    blockOverride_.clear();
}

void VirtualTester::setDelivery(Delivery delivery) {
    std::lock_guard<std::mutex> lock(mutex_);
    delivery_ = delivery;
}

Delivery VirtualTester::delivery() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivery_;
}

void VirtualTester::setSilent(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    silent_ = silent;
}

void VirtualTester::setDownloadIgnored(bool ignored) {
    std::lock_guard<std::mutex> lock(mutex_);
    downloadIgnored_ = ignored;
}

void VirtualTester::setHeldElsewhere(bool held) {
    std::lock_guard<std::mutex> lock(mutex_);
    heldElsewhere_ = held;
}

void VirtualTester::setCommandHook(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    commandHook_ = std::move(hook);
}

bool VirtualTester::sendAllRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handleValid(openHandle_)) return false;
    queueBlock(blockOverride_.empty() ? buildAllRecordsBlock(records_) : blockOverride_);
    return true;
}

bool VirtualTester::sendOneRecord(unsigned slotIndex) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handleValid(openHandle_)) return false;
    queueBlock(oneRecordBlock(slotIndex));
    return true;
}

bool VirtualTester::slotHoldsRecord(unsigned slotIndex) const {
    if (slotIndex < 1 || slotIndex > kSlotCount) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return oneRecordBlock(slotIndex)[2 + kSlotSize * (slotIndex - 1)] != 0;
}

bool VirtualTester::sendAnnouncement(bool singleRecord, unsigned slotIndex) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handleValid(openHandle_)) return false;
    announcedSingle_ = singleRecord;
    announcedSlot_ = slotIndex;
    announcementPending_ = true;
    queue_.push_back(Chunk{nowMs(), {'R', 'D', '\r'}});
    return true;
}

bool VirtualTester::sendRaw(const std::vector<std::uint8_t>& bytes, unsigned delayMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handleValid(openHandle_) || bytes.empty()) return false;
    queue_.push_back(Chunk{nowMs() + delayMs, bytes});
    return true;
}

VirtualTester::Activity VirtualTester::activity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Activity a;
    a.plugged = plugged_;
    a.open = handleValid(openHandle_);
    a.commands = commands_.size();
    if (!commands_.empty()) a.lastCommand = commands_.back();
    a.waitingBytes = availableBytes();
    a.blockOverride = !blockOverride_.empty();
    a.recordCount = records_.size();
    a.serial = identityText(identity_, kSerialOffset, kSerialWidth);
    a.id = identityText(identity_, kIdOffset, kIdWidth);
    return a;
}

std::vector<std::string> VirtualTester::commandsReceived() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

void VirtualTester::clearCommands() {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.clear();
    readSizes_.clear();
    purges_ = 0;
}

int VirtualTester::opens() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return opens_;
}

std::vector<unsigned> VirtualTester::readSizes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readSizes_;
}

int VirtualTester::purges() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return purges_;
}

std::size_t VirtualTester::waitingBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return availableBytes();
}

// ---- builders ----

std::vector<std::uint8_t> VirtualTester::buildAllRecordsBlock(
    const std::vector<TestRecord>& records) {
    std::vector<std::uint8_t> block(kDataBlockSize, 0);
    block[0] = 'B';
    block[1] = 0;
    const std::size_t n = std::min(records.size(), kMaxRecords);
    for (std::size_t i = 0; i < n; ++i) {
        DeviceRecordSlot slot = recordToSlot(records[i]);
        std::memcpy(block.data() + 2 + kSlotSize * i, &slot, sizeof slot);
    }
    block[kRecordCountOffset] = static_cast<std::uint8_t>(n);
    return block;
}

std::vector<std::uint8_t> VirtualTester::buildSingleRecordBlock(const TestRecord& record,
                                                                unsigned slotIndex) {
    std::vector<std::uint8_t> block(kDataBlockSize, 0);
    block[0] = 'B';
    block[1] = static_cast<std::uint8_t>(slotIndex);
    if (slotIndex >= 1 && slotIndex <= kSlotCount) {
        DeviceRecordSlot slot = recordToSlot(record);
        std::memcpy(block.data() + 2 + kSlotSize * (slotIndex - 1), &slot, sizeof slot);
    }
    return block;
}

std::vector<std::uint8_t> VirtualTester::buildIdentityReply(const std::string& serial,
                                                            const std::string& id) {
    std::vector<std::uint8_t> reply(kIdentitySize, 0);
    reply[0] = 'I';
    std::memcpy(reply.data() + 1, serial.data(), std::min<std::size_t>(serial.size(), 12));
    std::memcpy(reply.data() + 13, id.data(), std::min<std::size_t>(id.size(), 20));
    return reply;
}

std::vector<TestRecord> VirtualTester::defaultRecords() {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // Device IDs of many lengths: short, long, the full 16 characters, one
    // holding a comma.
    static const char* const kDevices[] = {
        "123-456-789-012", "A7",          "PUMP-2004-000117", "ICU 3, BED 7",
        "IV-0042",         "SN88213",     "WARD-B/19",        "X",
        "GEN-5 00317",     "ONC-12",      "PEDS 4",           "HOSP#220781",
    };
    // A few fixed results so that known dates appear; the rest vary.
    static const char* const kDates[] = {"5 Jun 2004", "29 Dec 2003", "14 Feb 2005"};
    static const char kUnits[] = {'p', 'k', 'b', 'm'};

    std::vector<TestRecord> out;
    std::uint32_t seed = 20040605u;
    auto next = [&seed](std::uint32_t range) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % range;
    };
    for (unsigned i = 0; i < kMaxRecords; ++i) {
        TestRecord r = emptyRecord();
        char unit = kUnits[i % 4];
        r.pressureUnits = unit;
        std::string device = kDevices[i % (sizeof kDevices / sizeof *kDevices)];
        if (i >= 12 && device.size() < 12) device += "-" + std::to_string(i);
        SET_FIELD(r, deviceID, device);

        std::string date;
        if (i < 3) {
            date = kDates[i];
        } else {
            date = std::to_string(1 + next(28)) + " " + kMonths[next(12)] + " " +
                   std::to_string(2002 + next(4));
        }
        SET_FIELD(r, testDate, date);
        SET_FIELD(r, testTime, twoDigits(next(24)) + ":" + twoDigits(next(60)));

        const double flow = (i == 0) ? 5.183 : 0.1 + next(99900) / 100.0;
        SET_FIELD(r, flow, fiveChars(flow));
        const double volume = (i == 0) ? 5.183 : 0.5 + next(199950) / 100.0;
        SET_FIELD(r, volume, fiveChars(volume));
        SET_FIELD(r, testDuration,
                  twoDigits(next(100)) + ":" + twoDigits(next(60)) + ":" + twoDigits(next(60)));

        const unsigned mmhg = (i == 0) ? 376 : 20 + next(1480);
        SET_FIELD(r, pressureMMHG, std::to_string(mmhg));
        std::string user;
        switch (unit) {
            case 'p': user = format(mmhg / 51.715 < 10 ? "%.2f" : "%.1f", mmhg / 51.715); break;
            case 'k': user = format(mmhg * 0.133322 < 100 ? "%.1f" : "%.0f", mmhg * 0.133322); break;
            case 'b': user = format("%.2f", mmhg * 0.00133322); break;
            default: user = std::to_string(mmhg); break;
        }
        SET_FIELD(r, pressureUser, user);
        SET_FIELD(r, peakPressureTime, twoDigits(next(60)) + ":" + twoDigits(next(60)));
        out.push_back(r);
    }
    return out;
}

// ---- Driver ----

bool VirtualTester::handleValid(DeviceHandle handle) const {
    return plugged_ && handle != 0 && handle == openHandle_;
}

std::size_t VirtualTester::availableBytes() const {
    const std::uint64_t now = nowMs();
    std::size_t n = 0;
    for (const Chunk& c : queue_) {
        if (c.dueMs > now) break;  // bytes arrive in order
        n += c.bytes.size();
    }
    return n;
}

void VirtualTester::queueBlock(const std::vector<std::uint8_t>& block) {
    const std::uint64_t now = nowMs();
    switch (delivery_) {
        case Delivery::AtOnce: queue_.push_back(Chunk{now, block}); break;
        case Delivery::Pieces:
        case Delivery::TooSlow: {
            const unsigned delay = delivery_ == Delivery::Pieces ? kPiecesDelayMs : kTooSlowDelayMs;
            const std::size_t head = std::min<std::size_t>(2, block.size());
            queue_.push_back(Chunk{now, {block.begin(), block.begin() + head}});
            if (block.size() > head)
                queue_.push_back(Chunk{now + delay, {block.begin() + head, block.end()}});
            break;
        }
        case Delivery::AsUsb: {
            std::uint64_t due = now;
            for (std::size_t at = 0; at < block.size(); at += kUsbPacketBytes, due += kUsbPacketMs) {
                const std::size_t end = std::min(block.size(), at + kUsbPacketBytes);
                queue_.push_back(Chunk{due, {block.begin() + static_cast<std::ptrdiff_t>(at),
                                             block.begin() + static_cast<std::ptrdiff_t>(end)}});
            }
            break;
        }
        case Delivery::Garbage: {
            std::vector<std::uint8_t> junk(block.size() / 4 + 5);
            for (std::size_t i = 0; i < junk.size(); ++i)
                junk[i] = static_cast<std::uint8_t>(0x5A ^ (i * 37));
            junk[0] = 0xFF;  // neither 'B' nor 'R'
            queue_.push_back(Chunk{now, junk});
            break;
        }
    }
}

std::vector<std::uint8_t> VirtualTester::pendingBlock() const {
    if (announcedSingle_) return oneRecordBlock(announcedSlot_);
    if (!blockOverride_.empty()) return blockOverride_;
    return buildAllRecordsBlock(records_);
}

// A single-record block of slot k of what the tester holds: of the raw block
// standing in for its records when there is one (a slot past its end is
// empty), else of its records.
std::vector<std::uint8_t> VirtualTester::oneRecordBlock(unsigned slotIndex) const {
    if (blockOverride_.empty()) {
        TestRecord r = slotIndex >= 1 && slotIndex <= records_.size() ? records_[slotIndex - 1]
                                                                      : emptyRecord();
        return buildSingleRecordBlock(r, slotIndex);
    }
    std::vector<std::uint8_t> block(kDataBlockSize, 0);
    block[0] = 'B';
    block[1] = static_cast<std::uint8_t>(slotIndex);
    if (slotIndex >= 1 && slotIndex <= kSlotCount) {
        const std::size_t at = 2 + kSlotSize * (slotIndex - 1);
        if (blockOverride_.size() >= at + kSlotSize)
            std::copy(blockOverride_.begin() + static_cast<std::ptrdiff_t>(at),
                      blockOverride_.begin() + static_cast<std::ptrdiff_t>(at + kSlotSize),
                      block.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return block;
}

int VirtualTester::openByDescription(const char* description, unsigned flags,
                                     DeviceHandle* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle) *handle = 0;
    if (!handle || !description || flags != kOpenByDescription) {
        lastOpenProblem_ = DriverOpenProblem::Other;
        return kFail;
    }
    if (!plugged_ || std::strcmp(description, kDescription) != 0) {
        lastOpenProblem_ = DriverOpenProblem::NotFound;
        return kFail;
    }
    if (heldElsewhere_ || openHandle_ != 0) {
        lastOpenProblem_ = DriverOpenProblem::Busy;
        return kFail;
    }
    lastOpenProblem_ = DriverOpenProblem::None;
    openHandle_ = nextHandle_++;
    ++opens_;
    queue_.clear();
    announcementPending_ = false;
    *handle = openHandle_;
    return kDriverOk;
}

DriverOpenProblem VirtualTester::lastOpenProblem() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastOpenProblem_;
}

int VirtualTester::setLatencyTimer(DeviceHandle handle, unsigned char) {
    std::lock_guard<std::mutex> lock(mutex_);
    return handleValid(handle) ? kDriverOk : kFail;
}

int VirtualTester::setUsbParameters(DeviceHandle handle, unsigned, unsigned) {
    std::lock_guard<std::mutex> lock(mutex_);
    return handleValid(handle) ? kDriverOk : kFail;
}

int VirtualTester::write(DeviceHandle handle, const void* data, unsigned count,
                         unsigned* written) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (written) *written = 0;
    if (!handleValid(handle) || !data || !written) return kFail;
    std::string command(static_cast<const char*>(data), count);
    commands_.push_back(command);
    *written = count;
    if (command == "ID\r") {
        if (!silent_) queue_.push_back(Chunk{nowMs(), identity_});
    } else if (command == "DD\r" && !downloadIgnored_) {
        announcedSingle_ = false;
        queueBlock(pendingBlock());
    } else if (command == "*\r") {
        if (announcementPending_) {
            announcementPending_ = false;
            queueBlock(pendingBlock());
        }
    }
    if (commandHook_) {
        auto hook = commandHook_;
        lock.unlock();
        hook(command);
    }
    return kDriverOk;
}

int VirtualTester::read(DeviceHandle handle, void* buffer, unsigned count, unsigned* got) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (got) *got = 0;
    if (!handleValid(handle) || !buffer || !got) return kFail;
    const std::uint64_t now = nowMs();
    auto* out = static_cast<std::uint8_t*>(buffer);
    unsigned n = 0;
    while (n < count && !queue_.empty() && queue_.front().dueMs <= now) {
        Chunk& c = queue_.front();
        const std::size_t take = std::min<std::size_t>(count - n, c.bytes.size());
        std::memcpy(out + n, c.bytes.data(), take);
        n += static_cast<unsigned>(take);
        c.bytes.erase(c.bytes.begin(), c.bytes.begin() + static_cast<std::ptrdiff_t>(take));
        if (c.bytes.empty()) queue_.pop_front();
    }
    *got = n;
    readSizes_.push_back(n);
    return kDriverOk;
}

int VirtualTester::getQueueStatus(DeviceHandle handle, unsigned* waiting) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting) *waiting = 0;
    if (!handleValid(handle) || !waiting) return kFail;
    *waiting = static_cast<unsigned>(availableBytes());
    return kDriverOk;
}

int VirtualTester::getStatus(DeviceHandle handle, unsigned* rx, unsigned* tx, unsigned* events) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handleValid(handle)) return kFail;
    if (rx) *rx = static_cast<unsigned>(availableBytes());
    if (tx) *tx = 0;
    if (events) *events = 0;
    return kDriverOk;
}

int VirtualTester::purge(DeviceHandle handle, unsigned mask) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handleValid(handle)) return kFail;
    ++purges_;
    if (mask & kPurgeRx) {
        // Drops what has arrived; bytes still on their way come later.
        const std::uint64_t now = nowMs();
        while (!queue_.empty() && queue_.front().dueMs <= now) queue_.pop_front();
    }
    return kDriverOk;
}

int VirtualTester::close(DeviceHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle == 0 || handle != openHandle_) return kFail;
    openHandle_ = 0;
    queue_.clear();
    announcementPending_ = false;
    return kDriverOk;
}
