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

int runInfo(CliRun& run) {
    return withTester(run, [&run](TesterSession&) -> int {
        run.progress.clear();
        const TesterIdentity tester{instrumentIdText(), instrumentSerialText()};
        if (const Output* json = run.o.output(OutputKind::Json))
            return run.write(*json, infoJson(tester).toStdString());
        std::fprintf(run.io.out, "ID: %s\nSN: %s\n", escapedText(tester.id).c_str(),
                     escapedText(tester.serial).c_str());
        return std::fflush(run.io.out) == 0 ? CliDone : run.stdoutFailed("info");
    });
}

}  // namespace

const CliCommand kInfoCommand = {
    "info",
    Command::Info,
    "lumkest-cli [--virtual [--block FILE] [--identity FILE] [--fault KIND]] [--wait SECONDS] "
    "[-q] info [--json FILE]",
    "prints the tester's ID and serial number",
    {"virtual", "block", "identity", "fault", "wait", "quiet", "json"},
    &checkInfo,
    &runInfo,
};
