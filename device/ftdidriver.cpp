#include "device/ftdidriver.h"

#include <libftdi1/ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr int kVendorFtdi = 0x0403;
// The product IDs of FTDI's own single and multi-port chips.
constexpr int kProductIds[] = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};

constexpr int kFail = 1;             // any non-zero status is a failure
// A read returns as soon as the chip answers with a packet that holds no
// data, which it does every latency period (1 ms once set, 16 ms before).
// The timeout must stay well above that: a read that times out part-way
// reports an error and the bytes it had already taken would be lost.
constexpr int kReadTimeoutMs = 100;
constexpr std::size_t kMaxBuffered = 1 << 20;
constexpr unsigned kUsbPacket = 64;

struct FtdiDeleter {
    void operator()(ftdi_context* ctx) const { ftdi_free(ctx); }  // also closes the device
};
using FtdiPtr = std::unique_ptr<ftdi_context, FtdiDeleter>;

// The chip's transfer sizes are whole USB packets of 64 bytes.
unsigned packetMultiple(unsigned size) {
    if (size < kUsbPacket) return kUsbPacket;
    return (size + kUsbPacket - 1) / kUsbPacket * kUsbPacket;
}

}  // namespace

struct FtdiDriver::Device {
    std::mutex mutex;  // serialises every call on this device
    FtdiPtr ctx;
    std::vector<unsigned char> received;
    bool gone = false;
    bool closed = false;

    bool usable() const { return ctx && !gone && !closed; }

    // Bulk reads and writes return libusb's error codes (or -666 once the
    // device is unavailable): anything but a timeout means it has gone.
    void noteError(int rc) {
        if (rc < 0 && rc != LIBUSB_ERROR_TIMEOUT) gone = true;
    }

    // Moves whatever the chip has received into `received` without waiting
    // for more.  False once the device has gone.
    bool drain() {
        if (!usable()) return false;
        unsigned char chunk[4096];
        for (;;) {
            int n = ftdi_read_data(ctx.get(), chunk, sizeof chunk);
            if (n < 0) {
                noteError(n);
                return !gone;
            }
            if (n == 0) return true;
            if (received.size() + static_cast<std::size_t>(n) > kMaxBuffered) {
                // Nobody is reading: keep the newest bytes only.
                received.clear();
            }
            received.insert(received.end(), chunk, chunk + n);
        }
    }
};

FtdiDriver::FtdiDriver() = default;

FtdiDriver::~FtdiDriver() {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.clear();
}

std::shared_ptr<FtdiDriver::Device> FtdiDriver::find(DeviceHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(handle);
    return it == devices_.end() ? nullptr : it->second;
}

int FtdiDriver::openByDescription(const char* description, unsigned flags, DeviceHandle* handle) {
    if (!handle) return kFail;
    *handle = 0;
    if (!description || flags != kOpenByDescription) return kFail;

    auto dev = std::make_shared<Device>();
    dev->ctx.reset(ftdi_new());
    if (!dev->ctx) return kFail;
    bool opened = false;
    for (int pid : kProductIds) {
        if (ftdi_usb_open_desc(dev->ctx.get(), kVendorFtdi, pid, description, nullptr) == 0) {
            opened = true;
            break;
        }
    }
    if (!opened) {
        lastOpenProblem_ = OpenProblem::NotFound;
        return kFail;
    }
    lastOpenProblem_ = OpenProblem::None;
    dev->ctx->usb_read_timeout = kReadTimeoutMs;
    ftdi_tciflush(dev->ctx.get());

    std::lock_guard<std::mutex> lock(mutex_);
    *handle = nextHandle_++;
    devices_[*handle] = std::move(dev);
    return kDriverOk;
}

int FtdiDriver::setLatencyTimer(DeviceHandle handle, unsigned char ms) {
    auto dev = find(handle);
    if (!dev) return kFail;
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (!dev->usable()) return kFail;
    int rc = ftdi_set_latency_timer(dev->ctx.get(), ms < 1 ? 1 : ms);
    return rc == 0 ? kDriverOk : kFail;
}

int FtdiDriver::setUsbParameters(DeviceHandle handle, unsigned inTransferSize,
                                 unsigned outTransferSize) {
    auto dev = find(handle);
    if (!dev) return kFail;
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (!dev->usable()) return kFail;
    int rc = ftdi_read_data_set_chunksize(dev->ctx.get(), packetMultiple(inTransferSize));
    if (rc == 0) rc = ftdi_write_data_set_chunksize(dev->ctx.get(), packetMultiple(outTransferSize));
    return rc == 0 ? kDriverOk : kFail;
}

int FtdiDriver::write(DeviceHandle handle, const void* data, unsigned count, unsigned* written) {
    if (written) *written = 0;
    auto dev = find(handle);
    if (!dev || !data || !written) return kFail;
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (!dev->usable()) return kFail;
    int n = ftdi_write_data(dev->ctx.get(), static_cast<const unsigned char*>(data),
                            static_cast<int>(count));
    if (n < 0) {
        dev->noteError(n);
        return kFail;
    }
    *written = static_cast<unsigned>(n);
    return kDriverOk;
}

int FtdiDriver::read(DeviceHandle handle, void* buffer, unsigned count, unsigned* got) {
    if (got) *got = 0;
    auto dev = find(handle);
    if (!dev || !buffer || !got) return kFail;
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (!dev->drain()) return kFail;
    const std::size_t n = std::min<std::size_t>(count, dev->received.size());
    std::memcpy(buffer, dev->received.data(), n);
    dev->received.erase(dev->received.begin(),
                        dev->received.begin() + static_cast<std::ptrdiff_t>(n));
    *got = static_cast<unsigned>(n);
    return kDriverOk;
}

int FtdiDriver::getQueueStatus(DeviceHandle handle, unsigned* waiting) {
    if (waiting) *waiting = 0;
    auto dev = find(handle);
    if (!dev || !waiting) return kFail;
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (!dev->drain()) return kFail;
    *waiting = static_cast<unsigned>(dev->received.size());
    return kDriverOk;
}

int FtdiDriver::getStatus(DeviceHandle handle, unsigned* rxQueue, unsigned* txQueue,
                          unsigned* events) {
    auto dev = find(handle);
    if (!dev) return kFail;
    std::lock_guard<std::mutex> lock(dev->mutex);
    // The chip answers every bulk read (with its two status bytes at least),
    // so a read is how a vanished device shows itself.
    if (!dev->drain()) return kFail;
    if (rxQueue) *rxQueue = static_cast<unsigned>(dev->received.size());
    if (txQueue) *txQueue = 0;
    if (events) *events = 0;
    return kDriverOk;
}

int FtdiDriver::purge(DeviceHandle handle, unsigned mask) {
    auto dev = find(handle);
    if (!dev) return kFail;
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (!dev->usable()) return kFail;
    if (mask & kPurgeRx) {
        dev->received.clear();
        if (ftdi_tciflush(dev->ctx.get()) < 0) return kFail;
    }
    return kDriverOk;
}

int FtdiDriver::close(DeviceHandle handle) {
    std::shared_ptr<Device> dev;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = devices_.find(handle);
        if (it == devices_.end()) return kFail;
        dev = std::move(it->second);
        devices_.erase(it);
    }
    // Waits for a call in progress; the context is freed with the last
    // reference.
    std::lock_guard<std::mutex> lock(dev->mutex);
    dev->closed = true;
    if (dev->ctx && !dev->gone) ftdi_usb_close(dev->ctx.get());
    return kDriverOk;
}
