#pragma once
// An FTDI USB-serial chip in umockdev's testbed, with a VirtualTester on its
// serial side.  A client that runs with libumockdev-preload and the
// testbed's root as UMOCKDEV_DIR finds it on the USB bus and talks to it
// through an unmodified libusb and libftdi1: the usbdevfs ioctls are
// answered here, on umockdev's worker thread.
//
// What the chip does, as the real one does:
// - answers the standard control requests for its string descriptors and
//   libftdi's vendor requests (reset, purge, baud rate, latency timer, ...);
// - passes bulk OUT data to the tester and bulk IN data from it, in 64-byte
//   packets that each begin with the two modem status bytes 01 60; with
//   nothing to send it answers with the status bytes alone once its latency
//   time has passed;
// - on unplug, fails the transfers in flight with -ESHUTDOWN and every later
//   request of an open handle with ENODEV; a re-plug is a new device number;
// - refuses to let a second open handle claim its interface (EBUSY), as
//   usbdevfs does while another program holds the device.
//
// Other FTDI devices (a serial cable, a development board) can sit on the
// same bus beside it: they answer with their own descriptors and strings
// and carry no data.

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/virtualtester.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

class FtdiChip {
public:
    // Creates the testbed (which sets UMOCKDEV_DIR in this process) and plugs
    // the chip in.
    explicit FtdiChip(VirtualTester& tester, unsigned productId = 0x6001,
                      const std::string& product = "Korvane Systems Dosimark Kest");
    ~FtdiChip();
    FtdiChip(const FtdiChip&) = delete;
    FtdiChip& operator=(const FtdiChip&) = delete;

    std::string root() const;  // UMOCKDEV_DIR for a client in another process
    void plugIn();
    void unplug();
    bool pluggedIn() const;
    // A hung chip: bulk IN requests stay unanswered until it is unmuted.
    void setMute(bool mute);
    // Plugs in another FTDI device at `port` of the tester's bus (the
    // tester is at port 1; libusb lists a higher port first).  One that is
    // not `openable` has a device node of mode 0, as a device without a
    // rule for the user has.  It stays until the chip is destroyed.
    void addOtherDevice(unsigned port, unsigned productId, const std::string& product,
                        bool openable);
    // Makes the tester's own device node unopenable (mode 0), or openable.
    void setTesterOpenable(bool openable);

    struct Counters {
        unsigned latencyMs = 16;   // as last set by the host
        int resets = 0;            // SIO reset requests
        int rxPurges = 0;          // purges of the chip-to-host buffer
        int dataPackets = 0;       // bulk IN packets that carried data
        int pendingIn = 0;         // bulk IN requests waiting for the chip
    };
    Counters counters() const;

private:
    struct Urb;
    struct Client;
    static int onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    static void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    // The state of one open device handle (caller holds mutex_).
    Client& client(UMockdevIoctlClient* client);
    void forget(UMockdevIoctlClient* client);
    // Each returns the ioctl's errno, 0 on success.
    int submit(Client& c, UMockdevIoctlData* arg);
    int reap(Client& c, UMockdevIoctlData* arg);
    int discard(Client& c, unsigned long urbAddress);
    void controlTransfer(Urb& u, const Client& c);
    void fillBulkIn(Urb& u, const Client& c);
    void release(Urb& u);
    bool attached(const Client& c) const;  // caller holds mutex_
    bool isTester(const Client& c) const;  // caller holds mutex_
    // Adds a device record and its node to the testbed, answered here.
    void addToTestbed(const std::string& sysPath, const std::string& node, int devnum,
                      unsigned productId, const std::string& product);

    VirtualTester& tester_;
    const unsigned productId_;
    const std::string product_;
    UMockdevTestbed* testbed_ = nullptr;
    UMockdevIoctlBase* handler_ = nullptr;

    mutable std::mutex mutex_;
    bool plugged_ = false;
    int devnum_ = 1;
    std::string node_;           // the current device node, e.g. /dev/bus/usb/001/002
    DeviceHandle testerHandle_ = 0;
    bool mute_ = false;
    Counters counters_;
    std::map<UMockdevIoctlClient*, Client*> clients_;
    struct Other {
        unsigned productId;
        std::string product;
    };
    std::map<std::string, Other> others_;                    // by device node
    std::map<std::string, UMockdevIoctlClient*> claimedBy_;  // by device node
};
