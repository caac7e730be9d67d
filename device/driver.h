#pragma once
// The narrow driver interface to the tester's USB-serial chip: exactly the
// calls the device link uses.  Every call returns a status, 0 = success.
// The real backend (libftdi) and the virtual tester are peer implementations;
// the program picks one once, where it is put together, with setDriver().

#include <cstdint>

using DeviceHandle = std::uintptr_t;  // 0 = no device open

constexpr unsigned kOpenByDescription = 2;
constexpr unsigned kPurgeRx = 1;
constexpr int kDriverOk = 0;

// Why the last openByDescription failed, for callers that explain it: no
// tester there; a tester that this user may not open; a tester that another
// program holds; anything else.  None after a success.
enum class DriverOpenProblem { None, NotFound, NoPermission, Busy, Other };

class Driver {
public:
    virtual ~Driver() = default;
    virtual int openByDescription(const char* description, unsigned flags, DeviceHandle* handle) = 0;
    // Why the last openByDescription failed.  A driver that cannot tell
    // says NotFound.
    virtual DriverOpenProblem lastOpenProblem() const { return DriverOpenProblem::NotFound; }
    // The device that the last successful openByDescription opened did not
    // answer as the tester does (it gave no identity): the next
    // openByDescription looks at every other matching device first and comes
    // back to it last, so that one silent device cannot hide a working
    // tester.  A driver that sees only one device ignores this.
    virtual void lastOpenedGaveNoAnswer() {}
    virtual int setLatencyTimer(DeviceHandle handle, unsigned char ms) = 0;
    virtual int setUsbParameters(DeviceHandle handle, unsigned inTransferSize,
                                 unsigned outTransferSize) = 0;
    virtual int write(DeviceHandle handle, const void* data, unsigned count, unsigned* written) = 0;
    virtual int read(DeviceHandle handle, void* buffer, unsigned count, unsigned* got) = 0;
    virtual int getQueueStatus(DeviceHandle handle, unsigned* waiting) = 0;
    virtual int getStatus(DeviceHandle handle, unsigned* rxQueue, unsigned* txQueue,
                          unsigned* events) = 0;
    virtual int purge(DeviceHandle handle, unsigned mask) = 0;
    virtual int close(DeviceHandle handle) = 0;
};

void setDriver(Driver* driver);
Driver* driver();  // never null: without a driver every call fails
