#pragma once
// A tester in software: a Driver that behaves as the instrument does on the
// wire.  It answers "ID\r" with its 33-byte identity, "DD\r" with the
// all-records block, and "*\r" (after its own "RD\r" announcement) with the
// pending block.  It can be unplugged and plugged in, and can deliver a
// block at once, in pieces, too slowly, in USB packets, or send garbage; it
// can ignore the identity or the download request, or be held by another
// program.  All methods are safe to call from any thread while the
// program's threads use it.

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "device/driver.h"
#include "records/testrecord.h"

enum class Delivery {
    AtOnce,   // the whole block is waiting at once
    Pieces,   // 2 bytes, the rest 300 ms later
    TooSlow,  // 2 bytes, the rest 3500 ms later (after the receiver gives up)
    Garbage,  // bytes that begin with neither 'B' nor 'R'
    AsUsb,    // as the USB chip hands it over: 62-byte packets, one every 5 ms
};

class VirtualTester : public Driver {
public:
    VirtualTester();

    // ---- the tester's side, for tests and the Virtual Tester window ----
    void plugIn();
    void unplug();
    bool pluggedIn() const;

    void setRecords(const std::vector<TestRecord>& records);  // at most 123
    std::vector<TestRecord> records() const;
    void setIdentity(const std::string& serial, const std::string& id);
    void setIdentityReply(const std::vector<std::uint8_t>& reply);  // raw, as sent
    // A raw block sent instead of one built from the records (e.g. --block).
    void setBlockOverride(const std::vector<std::uint8_t>& block);
    void clearBlockOverride();
    void setDelivery(Delivery delivery);
    Delivery delivery() const;
    // Makes the tester ignore "ID\r" (no identity reply) while set.
    void setSilent(bool silent);
    // Makes the tester ignore "DD\r" (no block) while set.
    void setDownloadIgnored(bool ignored);
    // While set, the tester cannot be opened, as while another program holds
    // it: lastOpenProblem() says Busy.
    void setHeldElsewhere(bool held);
    // Called with each command the program writes, on the writing thread,
    // after the tester has taken it and before the write returns: a test
    // can act while the program is in the middle of a write.
    void setCommandHook(std::function<void(const std::string&)> hook);

    // Sends on its own initiative (as the tester's buttons do).  Each returns
    // false, sending nothing, while the program does not hold the tester open
    // (unplugged, or not yet opened).
    bool sendAllRecords();
    // One record: the record in that slot of what the tester holds, its
    // records or, while a raw block stands in for them, that block's slot;
    // an empty slot is sent empty, as the real tester sends it.
    bool sendOneRecord(unsigned slotIndex);  // 1..128
    bool sendAnnouncement(bool singleRecord = false, unsigned slotIndex = 1);
    // Queues raw bytes to the receiver, after delayMs.
    bool sendRaw(const std::vector<std::uint8_t>& bytes, unsigned delayMs = 0);
    // Whether that slot (1..128) of what the tester holds has a record.
    bool slotHoldsRecord(unsigned slotIndex) const;

    // One consistent look at the tester's state, for the Virtual Tester window.
    struct Activity {
        bool plugged = false;
        bool open = false;            // the program holds the tester open
        std::size_t commands = 0;     // commands received since the last clearCommands()
        std::string lastCommand;      // as written, "\r" included; empty if none
        std::size_t waitingBytes = 0; // arrived and not yet read
        bool blockOverride = false;   // a raw block stands in for the records
        std::size_t recordCount = 0;
        std::string serial;           // the identity it answers with: serial number
        std::string id;               // and ID text, each up to its first zero byte
    };
    Activity activity() const;

    // What the program wrote, in order, and counts for tests.
    std::vector<std::string> commandsReceived() const;
    void clearCommands();
    int opens() const;
    // The byte counts of the program's successful reads, in order, and how
    // often it purged the receive buffer.
    std::vector<unsigned> readSizes() const;
    int purges() const;
    // Bytes that have arrived and not yet been read (or purged).
    std::size_t waitingBytes() const;

    // Builders for blocks and identities, used by tests too.
    static std::vector<std::uint8_t> buildAllRecordsBlock(const std::vector<TestRecord>& records);
    static std::vector<std::uint8_t> buildSingleRecordBlock(const TestRecord& record,
                                                            unsigned slotIndex);
    static std::vector<std::uint8_t> buildIdentityReply(const std::string& serial,
                                                        const std::string& id);
    // The default 123 varied, realistic results.
    static std::vector<TestRecord> defaultRecords();

    // ---- Driver ----
    int openByDescription(const char* description, unsigned flags, DeviceHandle* handle) override;
    DriverOpenProblem lastOpenProblem() const override;
    int setLatencyTimer(DeviceHandle handle, unsigned char ms) override;
    int setUsbParameters(DeviceHandle handle, unsigned inSize, unsigned outSize) override;
    int write(DeviceHandle handle, const void* data, unsigned count, unsigned* written) override;
    int read(DeviceHandle handle, void* buffer, unsigned count, unsigned* got) override;
    int getQueueStatus(DeviceHandle handle, unsigned* waiting) override;
    int getStatus(DeviceHandle handle, unsigned* rx, unsigned* tx, unsigned* events) override;
    int purge(DeviceHandle handle, unsigned mask) override;
    int close(DeviceHandle handle) override;

private:
    struct Chunk {
        std::uint64_t dueMs;
        std::vector<std::uint8_t> bytes;
    };
    bool handleValid(DeviceHandle handle) const;  // caller holds mutex_
    void queueBlock(const std::vector<std::uint8_t>& block);  // caller holds mutex_
    std::size_t availableBytes() const;                       // caller holds mutex_
    std::vector<std::uint8_t> pendingBlock() const;           // caller holds mutex_
    std::vector<std::uint8_t> oneRecordBlock(unsigned slotIndex) const;  // caller holds mutex_

    mutable std::mutex mutex_;
    bool plugged_ = true;
    DeviceHandle openHandle_ = 0;
    DeviceHandle nextHandle_ = 0x1000;
    int opens_ = 0;
    bool silent_ = false;
    bool downloadIgnored_ = false;
    bool heldElsewhere_ = false;
    DriverOpenProblem lastOpenProblem_ = DriverOpenProblem::None;
    Delivery delivery_ = Delivery::AtOnce;
    std::vector<TestRecord> records_;
    std::vector<std::uint8_t> identity_;
    std::vector<std::uint8_t> blockOverride_;
    bool announcedSingle_ = false;
    unsigned announcedSlot_ = 1;
    bool announcementPending_ = false;
    std::deque<Chunk> queue_;
    std::vector<std::string> commands_;
    std::function<void(const std::string&)> commandHook_;
    std::vector<unsigned> readSizes_;
    int purges_ = 0;
};
