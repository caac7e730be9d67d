#include "cli/tester.h"

#include <memory>
#include <string>

#include "cli/run.h"
#include "device/ftdidriver.h"
#include "device/monitor.h"
#include "device/simoptions.h"
#include "device/virtualtester.h"

namespace {

const char* const kUdevRule = "/lib/udev/rules.d/70-lumkest.rules";

int noTester(CliRun& run, SessionResult result) {
    const Options& o = run.o;
    if (result == SessionResult::NoIdentity)
        return run.fail(CliTransferFailed,
                        "the tester did not answer the identity request; switch it off and on, "
                        "plug it in again and retry");
    switch (driver()->lastOpenProblem()) {
        case DriverOpenProblem::NoPermission:
            return run.fail(CliNoTester,
                            std::string("the tester was found but may not be opened by this "
                                        "user; install the udev rule ") +
                                kUdevRule +
                                " (package lumkest) or join the group plugdev "
                                "(sudo adduser $USER plugdev, then log in again), and plug the "
                                "tester in again");
        case DriverOpenProblem::Busy:
            return run.fail(CliNoTester,
                            "the tester is in use by another program (the LUM Kest window?); "
                            "close it and retry");
        default:
            if (o.waitGiven && o.waitMs > 0)
                return run.fail(CliNoTester, "no tester found within " +
                                                 plural(o.waitMs / 1000, "second", "seconds") +
                                                 "; plug it in and switch it on");
            return run.fail(CliNoTester,
                            "no tester found; plug it in and switch it on, or give --wait SECONDS");
    }
}

}  // namespace

int withTester(CliRun& run, const std::function<int(TesterSession&)>& use) {
    const Options& o = run.o;
    std::unique_ptr<VirtualTester> tester;
    std::unique_ptr<FtdiDriver> usb;
    if (o.virtualTester) {
        tester = std::make_unique<VirtualTester>();
        SimOptions sim;
        std::string error;
        if (!parseSimOptions(o.simArgs, &sim, &error)) return run.fail(CliUsage, error, true);
        applySimOptions(sim, tester.get());
        if (!o.fault.empty()) applyVirtualFault(o.fault, tester.get());
        setDriver(tester.get());
    } else {
        usb = std::make_unique<FtdiDriver>();
        setDriver(usb.get());
    }
    int code = CliDone;
    {
        TesterSession session;
        run.progress.note("Waiting for the tester\u2026");
        const SessionResult opened = session.open(o.waitMs);
        code = opened == SessionResult::Done ? use(session) : noTester(run, opened);
    }
    setDriver(nullptr);
    return code;
}

int transferFailed(CliRun& run, SessionResult result) {
    switch (result) {
        case SessionResult::CommandFailed:
            return run.fail(CliTransferFailed,
                            "the download request could not be sent to the tester; plug it in "
                            "again and retry");
        case SessionResult::NoAnswer:
            return run.fail(CliTransferFailed,
                            "the tester did not answer the download request within 3 seconds; "
                            "retry");
        case SessionResult::TransferTimeout:
            return run.fail(CliTransferFailed,
                            "a timeout occurred while transferring the data (the block "
                            "arrived incomplete); retry");
        case SessionResult::DataError: {
            const Output* raw = run.o.output(OutputKind::Raw);
            return run.fail(
                CliTransferFailed,
                "the transferred data could not be decoded (no records in it); download again" +
                    (raw ? "; the block is kept in \"" + raw->file + "\" for a fault report"
                         : std::string(", and keep it with --raw FILE for a fault report")));
        }
        case SessionResult::Unplugged:
            return run.fail(CliTransferFailed,
                            "the tester was unplugged during the download; plug it in and retry");
        default:
            return run.fail(CliTransferFailed, "the download failed; retry");
    }
}
