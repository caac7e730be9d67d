#include "ftdichip.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <stdexcept>

#include "device/monitor.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kVendor = 0x0403;
constexpr unsigned kPacket = 64;       // full-speed bulk packet
constexpr unsigned kStatusBytes = 2;   // each IN packet begins with the modem status
constexpr unsigned char kModemStatus[kStatusBytes] = {0x01, 0x60};
constexpr unsigned kEndpointIn = 0x81, kEndpointOut = 0x02;
const char* const kSysPath = "/sys/devices/pci0000:00/usb1/1-1";
const char* const kSerial = "KS0401123";

// The chip's release number tells libftdi which chip type it is talking to.
unsigned releaseFor(unsigned productId) {
    switch (productId) {
        case 0x6010: return 0x0700;  // FT2232H
        case 0x6011: return 0x0800;  // FT4232H
        case 0x6014: return 0x0900;  // FT232H
        case 0x6015: return 0x1000;  // FT-X series
        default: return 0x0600;      // FT232R
    }
}

void put16(std::vector<unsigned char>& out, unsigned v) {
    out.push_back(v & 0xFF);
    out.push_back((v >> 8) & 0xFF);
}

// Device descriptor, then the configuration with one vendor-specific
// interface and its two bulk endpoints (what sysfs "descriptors" holds).
std::vector<unsigned char> descriptors(unsigned productId) {
    std::vector<unsigned char> d = {18, 1};
    put16(d, 0x0200);
    d.insert(d.end(), {0, 0, 0, 8});
    put16(d, kVendor);
    put16(d, productId);
    put16(d, releaseFor(productId));
    d.insert(d.end(), {1, 2, 3, 1});
    d.insert(d.end(), {9, 2, 32, 0, 1, 1, 0, 0xA0, 45});
    d.insert(d.end(), {9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2});
    d.insert(d.end(), {7, 5, kEndpointIn, 2, kPacket, 0, 0});
    d.insert(d.end(), {7, 5, kEndpointOut, 2, kPacket, 0, 0});
    return d;
}

std::vector<unsigned char> stringDescriptor(const std::string& text) {
    std::vector<unsigned char> d = {static_cast<unsigned char>(2 + 2 * text.size()), 3};
    for (char c : text) put16(d, static_cast<unsigned char>(c));
    return d;
}

std::string hex(const std::vector<unsigned char>& bytes) {
    std::string out;
    char two[3];
    for (unsigned char b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

usbdevfs_urb& urbOf(UMockdevIoctlData* data) {
    return *reinterpret_cast<usbdevfs_urb*>(data->data);
}

}  // namespace

struct FtdiChip::Urb {
    UMockdevIoctlData* data = nullptr;    // the usbdevfs_urb, owned reference
    UMockdevIoctlData* buffer = nullptr;  // its buffer, owned reference
    Clock::time_point submitted;
    bool done = false;
};

struct FtdiChip::Client {
    std::string node;        // the device node it opened
    std::vector<Urb> urbs;   // in submission order
};

FtdiChip::FtdiChip(VirtualTester& tester, unsigned productId, const std::string& product)
    : tester_(tester), productId_(productId), product_(product) {
    testbed_ = umockdev_testbed_new();
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(onIoctl), this);
    // umockdev 0.17 reports new connections but not closed ones; a client
    // object's address may come back for a later connection.
    g_signal_connect(handler_, "client-connected", G_CALLBACK(onConnected), this);
    plugIn();
}

FtdiChip::~FtdiChip() {
    unplug();
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(testbed_);  // stops the worker thread
    g_object_unref(handler_);
    while (!clients_.empty()) forget(clients_.begin()->first);
}

std::string FtdiChip::root() const {
    gchar* dir = umockdev_testbed_get_root_dir(testbed_);
    std::string out = dir;
    g_free(dir);
    return out;
}

// Testbed calls are made outside mutex_: umockdev's worker thread may be
// waiting for it in onIoctl.  plugIn and unplug come from one thread.
void FtdiChip::plugIn() {
    if (pluggedIn()) return;
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum_ + 1);
    addToTestbed(kSysPath, node, devnum_ + 1, productId_, product_);

    std::lock_guard<std::mutex> lock(mutex_);
    ++devnum_;  // as on a real bus, every attach gets a new device number
    node_ = node;
    tester_.plugIn();
    tester_.openByDescription(kInstrumentDescription, kOpenByDescription, &testerHandle_);
    plugged_ = true;
}

void FtdiChip::addOtherDevice(unsigned port, unsigned productId, const std::string& product,
                              bool openable) {
    // Device numbers well above the tester's, which grow by one per plug.
    const int devnum = 100 + static_cast<int>(port);
    char sysPath[64], node[64];
    std::snprintf(sysPath, sizeof sysPath, "/sys/devices/pci0000:00/usb1/1-%u", port);
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        others_[node] = Other{productId, product};
    }
    addToTestbed(sysPath, node, devnum, productId, product);
    if (!openable && ::chmod((root() + node).c_str(), 0) != 0)
        throw std::runtime_error(std::string("cannot make ") + node + " unopenable");
}

void FtdiChip::setTesterOpenable(bool openable) {
    std::string node;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        node = node_;
    }
    if (::chmod((root() + node).c_str(), openable ? 0666 : 0) != 0)
        throw std::runtime_error("cannot change the mode of " + node);
}

void FtdiChip::addToTestbed(const std::string& sysPath, const std::string& node, int devnum,
                            unsigned productId, const std::string& product) {
    char record[1024];
    std::snprintf(record, sizeof record,
                  "P: %s\nN: %s\n"
                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=%s\n"
                  "A: busnum=1\\n\nA: devnum=%d\\n\nA: speed=12\\n\n"
                  "A: bConfigurationValue=1\\n\nA: dev=189:%d\\n\n"
                  "A: product=%s\\n\n"
                  "H: descriptors=%s\n",
                  sysPath.c_str() + 4, node.c_str() + 5, node.c_str(), devnum, devnum - 1,
                  product.c_str(), hex(descriptors(productId)).c_str());
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, record, &error) ||
        !umockdev_testbed_attach_ioctl(testbed_, node.c_str(), handler_, &error)) {
        std::string why = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("cannot add the emulated chip: " + why);
    }
}

void FtdiChip::unplug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!plugged_) return;
        plugged_ = false;
        tester_.unplug();
        testerHandle_ = 0;
        // What the host has in flight fails; the handles it holds stay open
        // but see the device gone.
        for (auto& [client, state] : clients_) {
            for (Urb& u : state->urbs) {
                if (u.done) continue;
                urbOf(u.data).status = -ESHUTDOWN;
                urbOf(u.data).actual_length = 0;
                u.done = true;
            }
        }
    }
    umockdev_testbed_remove_device(testbed_, kSysPath);
}

bool FtdiChip::pluggedIn() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_;
}

void FtdiChip::setMute(bool mute) {
    std::lock_guard<std::mutex> lock(mutex_);
    mute_ = mute;
}

FtdiChip::Counters FtdiChip::counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Counters c = counters_;
    c.pendingIn = 0;
    for (const auto& [client, state] : clients_)
        for (const Urb& u : state->urbs)
            if (!u.done && urbOf(u.data).endpoint == kEndpointIn) ++c.pendingIn;
    return c;
}

bool FtdiChip::isTester(const Client& c) const { return plugged_ && c.node == node_; }

bool FtdiChip::attached(const Client& c) const {
    return isTester(c) || others_.count(c.node) > 0;
}

void FtdiChip::release(Urb& u) {
    g_clear_object(&u.buffer);
    g_clear_object(&u.data);
}

// ---- usbdevfs ----

int FtdiChip::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* chip = static_cast<FtdiChip*>(self);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const unsigned long request = umockdev_ioctl_client_get_request(client);

    std::lock_guard<std::mutex> lock(chip->mutex_);
    Client& c = chip->client(client);

    int err = 0;
    if (request == USBDEVFS_SUBMITURB) {
        err = chip->submit(c, arg);
    } else if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) {
        err = chip->reap(c, arg);
    } else if (request == USBDEVFS_DISCARDURB) {
        err = chip->discard(c, *reinterpret_cast<unsigned long*>(arg->data));
    } else if (!chip->attached(c)) {
        err = ENODEV;
    } else if (request == USBDEVFS_GET_CAPABILITIES) {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        *reinterpret_cast<guint32*>(caps->data) =
            USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
            USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        g_object_unref(caps);
    } else if (request == USBDEVFS_IOCTL) {
        err = ENODATA;  // no kernel driver to detach
    } else if (request == USBDEVFS_CLAIMINTERFACE) {
        UMockdevIoctlClient*& owner = chip->claimedBy_[c.node];
        if (owner && owner != client) err = EBUSY;
        else owner = client;
    } else if (request == USBDEVFS_RELEASEINTERFACE) {
        auto it = chip->claimedBy_.find(c.node);
        if (it != chip->claimedBy_.end() && it->second == client) chip->claimedBy_.erase(it);
    } else if (request != USBDEVFS_CLEAR_HALT) {
        err = ENOTTY;
    }
    umockdev_ioctl_client_complete(client, err ? -1 : 0, err);
    return TRUE;
}

void FtdiChip::onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* chip = static_cast<FtdiChip*>(self);
    std::lock_guard<std::mutex> lock(chip->mutex_);
    chip->forget(client);
    chip->client(client);
}

FtdiChip::Client& FtdiChip::client(UMockdevIoctlClient* client) {
    Client*& state = clients_[client];
    if (!state) state = new Client{umockdev_ioctl_client_get_devnode(client), {}};
    return *state;
}

void FtdiChip::forget(UMockdevIoctlClient* client) {
    for (auto claim = claimedBy_.begin(); claim != claimedBy_.end();)
        claim = claim->second == client ? claimedBy_.erase(claim) : std::next(claim);
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    for (Urb& u : it->second->urbs) release(u);
    delete it->second;
    clients_.erase(it);
}

int FtdiChip::submit(Client& c, UMockdevIoctlData* arg) {
    if (!attached(c)) return ENODEV;
    Urb u;
    u.data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!u.data) return EFAULT;
    usbdevfs_urb& urb = urbOf(u.data);
    if (urb.buffer_length > 0)
        u.buffer = umockdev_ioctl_data_resolve(u.data, offsetof(usbdevfs_urb, buffer),
                                               static_cast<gsize>(urb.buffer_length), nullptr);
    u.submitted = Clock::now();
    urb.status = 0;
    urb.actual_length = 0;

    if (urb.type == USBDEVFS_URB_TYPE_CONTROL && u.buffer) {
        controlTransfer(u, c);
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == kEndpointOut) {
        unsigned written = isTester(c) ? 0 : static_cast<unsigned>(urb.buffer_length);
        if (u.buffer && isTester(c))
            tester_.write(testerHandle_, u.buffer->data, static_cast<unsigned>(urb.buffer_length),
                          &written);
        urb.actual_length = static_cast<int>(written);
        u.done = true;
    } else if (urb.type != USBDEVFS_URB_TYPE_BULK || urb.endpoint != kEndpointIn || !u.buffer) {
        release(u);
        return EINVAL;
    }
    c.urbs.push_back(u);
    return 0;
}

int FtdiChip::reap(Client& c, UMockdevIoctlData* arg) {
    for (Urb& u : c.urbs)
        if (!u.done) fillBulkIn(u, c);
    auto it = std::find_if(c.urbs.begin(), c.urbs.end(), [](const Urb& u) { return u.done; });
    if (it == c.urbs.end()) return attached(c) ? EAGAIN : ENODEV;

    // The reap argument is where the kernel stores the address of the
    // finished URB.
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, it->data);
    g_object_unref(slot);
    release(*it);
    c.urbs.erase(it);
    return 0;
}

int FtdiChip::discard(Client& c, unsigned long urbAddress) {
    for (Urb& u : c.urbs) {
        if (u.data->client_addr != urbAddress) continue;
        if (u.done) return EINVAL;  // already finished: reap it
        urbOf(u.data).status = -ENOENT;
        u.done = true;
        return 0;
    }
    return EINVAL;
}

// The control buffer begins with the 8-byte setup packet; actual_length
// counts the data stage only.
void FtdiChip::controlTransfer(Urb& u, const Client& c) {
    const bool tester = isTester(c);
    const Other other = tester ? Other{} : others_.at(c.node);
    usbdevfs_urb& urb = urbOf(u.data);
    const unsigned char* setup = u.buffer->data;
    const unsigned type = setup[0], request = setup[1];
    const unsigned value = setup[2] | setup[3] << 8;
    const unsigned length = setup[6] | setup[7] << 8;
    std::vector<unsigned char> reply;
    bool stall = false;

    if (type == 0x80 && request == 6) {  // GET_DESCRIPTOR
        const unsigned kind = value >> 8, index = value & 0xFF;
        std::vector<unsigned char> all = descriptors(tester ? productId_ : other.productId);
        if (kind == 1) reply.assign(all.begin(), all.begin() + 18);
        else if (kind == 2) reply.assign(all.begin() + 18, all.end());
        else if (kind == 3 && index == 0) reply = {4, 3, 0x09, 0x04};  // US English
        else if (kind == 3 && index == 1) reply = stringDescriptor("FTDI");
        else if (kind == 3 && index == 2) reply = stringDescriptor(tester ? product_ : other.product);
        else if (kind == 3 && index == 3) reply = stringDescriptor(kSerial);
        else stall = true;
    } else if (type == 0x40) {  // vendor requests of the chip
        if (request == 0 && (value == 0 || value == 2)) {
            // 0 resets the port, 2 purges the buffer towards the host: both
            // drop what the chip holds for the host.
            if (tester) {
                ++(value == 0 ? counters_.resets : counters_.rxPurges);
                tester_.purge(testerHandle_, kPurgeRx);
            }
        } else if (request == 9 && tester) {
            counters_.latencyMs = std::max(1u, value & 0xFF);
        }
    } else if (type == 0xC0 && request == 0x0A) {
        reply = {static_cast<unsigned char>(counters_.latencyMs)};
    } else if (type == 0xC0 && request == 0x05) {
        reply.assign(kModemStatus, kModemStatus + kStatusBytes);
    } else {
        stall = true;
    }

    if (stall) {
        urb.status = -EPIPE;
    } else if (type & 0x80) {
        const std::size_t room = std::min<std::size_t>(length, urb.buffer_length - 8);
        const std::size_t n = std::min(room, reply.size());
        std::copy(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(n),
                  u.buffer->data + 8);
        urb.actual_length = static_cast<int>(n);
    } else {
        urb.actual_length = static_cast<int>(length);
    }
    u.done = true;
}

// Answers a bulk IN request: as many packets as the request holds, each the
// status bytes and up to 62 data bytes, ended by a short packet.  With
// nothing to send, the status bytes alone once the latency time has passed.
// Requests are answered when the host reaps: the device node is a plain
// file here, so libusb reaps without pause while it waits.
void FtdiChip::fillBulkIn(Urb& u, const Client& c) {
    usbdevfs_urb& urb = urbOf(u.data);
    if (!attached(c) || (isTester(c) && mute_)) return;
    const unsigned room = static_cast<unsigned>(urb.buffer_length);
    const unsigned packets = room / kPacket;
    unsigned waiting = 0;
    if (isTester(c)) tester_.getQueueStatus(testerHandle_, &waiting);
    std::vector<unsigned char> data(std::min(waiting, packets * (kPacket - kStatusBytes)));
    if (data.empty()) {
        const auto latency = std::chrono::milliseconds(counters_.latencyMs);
        if (Clock::now() - u.submitted < latency) return;
    } else {
        unsigned got = 0;
        tester_.read(testerHandle_, data.data(), static_cast<unsigned>(data.size()), &got);
        data.resize(got);
    }

    unsigned char* out = u.buffer->data;
    unsigned used = 0, taken = 0;
    for (;;) {
        const unsigned chunk = std::min<unsigned>(kPacket - kStatusBytes,
                                                  static_cast<unsigned>(data.size()) - taken);
        if (used + kStatusBytes + chunk > room) break;
        std::copy(kModemStatus, kModemStatus + kStatusBytes, out + used);
        std::copy(data.begin() + taken, data.begin() + taken + chunk, out + used + kStatusBytes);
        used += kStatusBytes + chunk;
        taken += chunk;
        if (chunk > 0) ++counters_.dataPackets;
        if (kStatusBytes + chunk < kPacket) break;  // a short packet ends the transfer
    }
    urb.actual_length = static_cast<int>(used);
    urb.status = 0;
    u.done = true;
}
