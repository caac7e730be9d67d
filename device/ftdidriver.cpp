#include "device/ftdidriver.h"

#include <libftdi1/ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "app/debuglog.h"

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

// The lists that ftdi_usb_find_all made; they hold a reference to each
// device, so the devices stay valid until the lists are freed.
class DeviceLists {
public:
    DeviceLists() = default;
    DeviceLists(const DeviceLists&) = delete;
    DeviceLists& operator=(const DeviceLists&) = delete;
    ~DeviceLists() {
        for (ftdi_device_list* list : lists_) ftdi_list_free(&list);
    }
    void add(ftdi_device_list* list) { lists_.push_back(list); }

private:
    std::vector<ftdi_device_list*> lists_;
};

// The device's name in sysfs ("1-1.4": bus, then the ports from the root
// hub), which is also where it is plugged in.
std::string sysfsName(libusb_device* dev) {
    std::uint8_t ports[8];
    const int n = libusb_get_port_numbers(dev, ports, sizeof ports);
    std::string name = std::to_string(libusb_get_bus_number(dev));
    for (int i = 0; i < n; ++i) name += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    return name;
}

// Where a device is plugged in and its number on the bus, which a device
// gets anew each time it is plugged in; with its vendor and product ID.
std::string placeOf(libusb_device* dev) {
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(dev, &desc);
    char ids[64];
    std::snprintf(ids, sizeof ids, " device %d (%04x:%04x)", libusb_get_device_address(dev),
                  desc.idVendor, desc.idProduct);
    return "USB " + sysfsName(dev) + ids;
}

// Opens the device just long enough to read its product string, as libftdi
// compares it.  0 or a libusb error.
int readProduct(libusb_device* dev, std::string* product) {
    product->clear();
    libusb_device_descriptor desc{};
    int rc = libusb_get_device_descriptor(dev, &desc);
    if (rc != 0) return rc;
    libusb_device_handle* h = nullptr;
    rc = libusb_open(dev, &h);
    if (rc != 0) return rc;
    if (desc.iProduct != 0) {
        unsigned char text[256];
        const int n = libusb_get_string_descriptor_ascii(h, desc.iProduct, text, sizeof text);
        if (n < 0) rc = n;
        else product->assign(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n));
    }
    libusb_close(h);
    return rc;
}

// The product string that the kernel read when the device was plugged in;
// empty if there is none.  Tells a tester that this user may not open from
// other devices.
std::string sysfsProduct(libusb_device* dev) {
    std::ifstream in("/sys/bus/usb/devices/" + sysfsName(dev) + "/product");
    std::string text;
    std::getline(in, text);
    return text;
}

FtdiDriver::OpenProblem problemOf(int libusbError) {
    switch (libusbError) {
        case LIBUSB_ERROR_ACCESS: return FtdiDriver::OpenProblem::NoPermission;
        case LIBUSB_ERROR_BUSY: return FtdiDriver::OpenProblem::Busy;
        default: return FtdiDriver::OpenProblem::Other;
    }
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
    if (!dev->ctx) {
        lastOpenProblem_ = OpenProblem::Other;
        return kFail;
    }
    // Every device of the five product IDs, in that order and in the bus's
    // order within each.  Asking libftdi to open by description would stop
    // at the first of them that this user cannot open, and a serial cable
    // of the same product ID would then hide the tester for good.
    DeviceLists lists;
    std::vector<libusb_device*> candidates;
    for (int pid : kProductIds) {
        ftdi_device_list* list = nullptr;
        if (ftdi_usb_find_all(dev->ctx.get(), &list, kVendorFtdi, pid) < 0) continue;
        lists.add(list);
        for (ftdi_device_list* d = list; d; d = d->next) candidates.push_back(d->dev);
    }
    {
        // After a device that gave no identity, the look starts after it and
        // comes round to it last.
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string after = std::exchange(startAfter_, std::string());
        auto failed = std::find_if(candidates.begin(), candidates.end(),
                                   [&](libusb_device* d) { return placeOf(d) == after; });
        if (failed != candidates.end())
            std::rotate(candidates.begin(), failed + 1, candidates.end());
    }

    OpenProblem problem = OpenProblem::NotFound;
    std::map<std::string, std::string> skipped;  // device -> why, this time
    libusb_device* opened = nullptr;
    for (libusb_device* candidate : candidates) {
        const std::string where = placeOf(candidate);
        std::string product;
        const int rc = readProduct(candidate, &product);
        if (rc != 0) {
            // Not even its product string: a device without a rule that lets
            // this user open it.  The system still names it.
            const bool tester = sysfsProduct(candidate) == description;
            if (tester && problem == OpenProblem::NotFound) problem = problemOf(rc);
            skipped[where] = std::string("cannot be opened or read (") + libusb_strerror(rc) + ")" +
                             (tester ? ", though it is the tester" : "");
            continue;
        }
        if (product != description) {
            skipped[where] = "product \"" + product + "\"";
            continue;
        }
        const int ftdiRc = ftdi_usb_open_dev(dev->ctx.get(), candidate);
        if (ftdiRc == 0) {
            opened = candidate;
            break;
        }
        // A tester that another program holds, or that this user may list
        // but not claim: the next one may still do.
        const OpenProblem why = ftdiRc == -3 || ftdiRc == -5 ? OpenProblem::Busy
                                : ftdiRc == -4 || ftdiRc == -8 ? OpenProblem::NoPermission
                                                               : OpenProblem::Other;
        if (problem == OpenProblem::NotFound) problem = why;
        skipped[where] = std::string("the tester, but it cannot be opened (") +
                         ftdi_get_error_string(dev->ctx.get()) + ")";
    }
    noteSkipped(candidates, skipped);
    if (!opened) {
        lastOpenProblem_ = problem;
        return kFail;
    }
    lastOpenProblem_ = OpenProblem::None;
    dev->ctx->usb_read_timeout = kReadTimeoutMs;
    ftdi_tciflush(dev->ctx.get());

    std::lock_guard<std::mutex> lock(mutex_);
    lastOpened_ = placeOf(opened);
    *handle = nextHandle_++;
    devices_[*handle] = std::move(dev);
    return kDriverOk;
}

void FtdiDriver::lastOpenedGaveNoAnswer() {
    std::lock_guard<std::mutex> lock(mutex_);
    startAfter_ = lastOpened_;
}

// Logs each skipped device once while it stays plugged in; a device that
// leaves the bus is forgotten, so it is logged again if it comes back.
void FtdiDriver::noteSkipped(const std::vector<libusb_device*>& present,
                             const std::map<std::string, std::string>& skipped) {
    std::vector<std::string> fresh;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::map<std::string, std::string> kept;
        for (libusb_device* d : present) {
            auto it = skipped_.find(placeOf(d));
            if (it != skipped_.end()) kept.insert(*it);
        }
        for (const auto& [where, why] : skipped) {
            auto it = kept.find(where);
            if (it != kept.end() && it->second == why) continue;
            kept[where] = why;
            fresh.push_back(where + ": " + why);
        }
        skipped_ = std::move(kept);
    }
    for (const std::string& line : fresh)
        writeDebugLog("USB device skipped", 's', line.c_str(), "ftdidriver", __LINE__);
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
