#pragma once
// The driver on the real USB-serial chip, through libftdi1.
//
// libftdi has no receive-queue query, so the backend keeps its own receive
// buffer: every queue-status, device-status and read call first drains what
// the chip has received (a non-blocking USB read with a short timeout) into
// that buffer; the queue status is the buffer's size, and read and purge
// work on it.
//
// The monitor may close a handle while the command thread is inside a call
// on it.  Each open device therefore has its own lock that serialises the
// calls on it, and is kept alive until the last call in progress returns;
// calls on a closed handle fail.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/driver.h"

struct libusb_device;

class FtdiDriver : public Driver {
public:
    // Why an open failed (driver.h), also by this name.
    using OpenProblem = DriverOpenProblem;

    FtdiDriver();
    ~FtdiDriver() override;

    // Looks at every device of FTDI's five product IDs and opens the first
    // whose product string is exactly `description`; devices that cannot be
    // opened or read, or that are something else (a serial cable, a
    // development board), are passed over and logged once each.  After
    // lastOpenedGaveNoAnswer() the look starts after the device that gave
    // none and comes round to it last.
    int openByDescription(const char* description, unsigned flags, DeviceHandle* handle) override;
    OpenProblem lastOpenProblem() const override { return lastOpenProblem_.load(); }
    void lastOpenedGaveNoAnswer() override;
    int setLatencyTimer(DeviceHandle handle, unsigned char ms) override;
    int setUsbParameters(DeviceHandle handle, unsigned inTransferSize,
                         unsigned outTransferSize) override;
    int write(DeviceHandle handle, const void* data, unsigned count, unsigned* written) override;
    int read(DeviceHandle handle, void* buffer, unsigned count, unsigned* got) override;
    int getQueueStatus(DeviceHandle handle, unsigned* waiting) override;
    int getStatus(DeviceHandle handle, unsigned* rxQueue, unsigned* txQueue,
                  unsigned* events) override;
    int purge(DeviceHandle handle, unsigned mask) override;
    int close(DeviceHandle handle) override;

private:
    struct Device;
    std::shared_ptr<Device> find(DeviceHandle handle);
    void noteSkipped(const std::vector<libusb_device*>& present,
                     const std::map<std::string, std::string>& skipped);

    std::mutex mutex_;
    std::map<DeviceHandle, std::shared_ptr<Device>> devices_;
    DeviceHandle nextHandle_ = 1;  // handles are never reused
    std::atomic<OpenProblem> lastOpenProblem_{OpenProblem::None};
    // The devices passed over while looking for the tester, and why; each
    // is logged when it is first passed over.
    std::map<std::string, std::string> skipped_;
    // Where the last device opened sits on the bus (placeOf), and the device
    // that the next look starts after; empty for none.
    std::string lastOpened_;
    std::string startAfter_;
};
