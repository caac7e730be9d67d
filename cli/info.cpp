// lumkest-cli info: the tester's ID and serial number, as two lines or as
// JSON.

#include <cstdio>

#include "cli/commands.h"
#include "cli/outputs.h"
#include "cli/run.h"
#include "cli/tester.h"
#include "device/monitor.h"

namespace {

bool checkInfo(const Options&, std::string*) { return true; }

// Without an output, the two lines on standard output; else each output
// in the command line's order: --json the identity as JSON, --identity the
// reply as the tester sent it (for import of a --raw block).
int runInfo(CliRun& run) {
    return withTester(run, [&run](TesterSession&) -> int {
        run.progress.clear();
        const TesterIdentity tester{instrumentIdText(), instrumentSerialText()};
        const std::vector<std::uint8_t> reply = instrumentIdentityReply();
        for (const Output& out : run.o.outputs) {
            const int code = run.write(out, out.kind == OutputKind::Json
                                                ? infoJson(tester).toStdString()
                                                : std::string(reply.begin(), reply.end()));
            if (code != CliDone) return code;
        }
        if (!run.o.outputs.empty()) return CliDone;
        std::fprintf(run.io.out, "ID: %s\nSN: %s\n", escapedText(tester.id).c_str(),
                     escapedText(tester.serial).c_str());
        return std::fflush(run.io.out) == 0 ? CliDone : run.stdoutFailed("info");
    });
}

}  // namespace

const CliCommand kInfoCommand = {
    "info",
    Command::Info,
    "lumkest-cli [--virtual [--block FILE | --from FILE] [--identity FILE] [--fault KIND]] "
    "[--wait SECONDS] [-q] info [--json FILE] [--identity FILE]",
    "prints the tester's ID and serial number, or its identity reply",
    {"virtual", "block", "from", "identity", "fault", "wait", "quiet", "json"},
    &checkInfo,
    &runInfo,
    false,
    {},
    {{"json", "the tester's ID and serial number as JSON"},
     {"identity",
      "(with --virtual, before info) its 33-byte identity reply; (after info) writes the "
      "tester's identity reply to FILE, as import --identity takes it"}},
};
