#include "device/driver.h"

#include <atomic>

namespace {

// Stands in while no driver is installed: every call fails and no device
// is ever found.
class NullDriver : public Driver {
public:
    static constexpr int kFail = 1;
    int openByDescription(const char*, unsigned, DeviceHandle* handle) override {
        if (handle) *handle = 0;
        return kFail;
    }
    int setLatencyTimer(DeviceHandle, unsigned char) override { return kFail; }
    int setUsbParameters(DeviceHandle, unsigned, unsigned) override { return kFail; }
    int write(DeviceHandle, const void*, unsigned, unsigned* written) override {
        if (written) *written = 0;
        return kFail;
    }
    int read(DeviceHandle, void*, unsigned, unsigned* got) override {
        if (got) *got = 0;
        return kFail;
    }
    int getQueueStatus(DeviceHandle, unsigned* waiting) override {
        if (waiting) *waiting = 0;
        return kFail;
    }
    int getStatus(DeviceHandle, unsigned*, unsigned*, unsigned*) override { return kFail; }
    int purge(DeviceHandle, unsigned) override { return kFail; }
    int close(DeviceHandle) override { return kFail; }
};

NullDriver nullDriver;
std::atomic<Driver*> installedDriver{nullptr};

}  // namespace

void setDriver(Driver* d) { installedDriver.store(d, std::memory_order_release); }

Driver* driver() {
    Driver* d = installedDriver.load(std::memory_order_acquire);
    return d ? d : &nullDriver;
}
