// lumkest-cli info, and the help of each command.

#include <sstream>

#include "tests/cli/clitest.h"

namespace {

using namespace clitest;

TEST_F(Cli, InfoPrintsTheIdentity) {
    const Ran ran = run({"--virtual", "info"});
    EXPECT_EQ(ran.code, CliDone);
    EXPECT_EQ(ran.out, "ID: Dosimark Kest Bay 2\nSN: KS0401123\n");
    EXPECT_EQ(ran.err, "");
    // As JSON, which an ID holding a line end cannot break.
    const QJsonDocument json = QJsonDocument::fromJson(
        QByteArray::fromStdString(run({"--virtual", "info", "--json", "-"}).out));
    EXPECT_EQ(json["format"].toInt(), 1);
    EXPECT_EQ(json["tester"]["serial"].toString(), "KS0401123");
    EXPECT_EQ(json["state"].toString(), "connected");
    // After info, --identity writes the reply as the tester sent it, bytes
    // past its texts' ends included; before it, the virtual tester's.
    std::vector<std::uint8_t> reply = VirtualTester::buildIdentityReply("S9", "Bay 9");
    reply[20] = 'x';
    writeFile(path("in.id"), reply);
    const Ran both = run({"--virtual", "--identity", path("in.id"), "info", "--identity",
                          path("out.id"), "--json", "-"});
    ASSERT_EQ(both.code, CliDone) << both.err;
    EXPECT_EQ(readFile(path("out.id")), std::string(reply.begin(), reply.end()));
    EXPECT_NE(both.out.find("\"serial\": \"S9\""), std::string::npos);
    for (const std::vector<std::string>& twice :
         {std::vector<std::string>{"--identity", path("in.id"), "info"},
          {"--virtual", "info", "--identity", path("a.id"), "--identity", path("b.id")}})
        EXPECT_EQ(run(twice).code, CliUsage) << twice[1];
    EXPECT_FALSE(fs::exists(path("a.id")));

    // Help per command: its synopsis and its options only.
    const std::string help = run({"download", "--help"}).out;
    EXPECT_EQ(help.find("Usage: lumkest-cli [--virtual"), 0u) << help;
    EXPECT_NE(help.find("--new-only"), std::string::npos);
    EXPECT_EQ(help.find("--device"), std::string::npos);
    EXPECT_NE(run({"--help"}).out.find("lumkest-cli COMMAND --help"), std::string::npos);
    // Each command's help says what its outputs write: the identity and the
    // tables are no records.
    for (const char* command : {"info", "downloads", "assets", "testers", "due", "unknown"}) {
        const std::string own = run({command, "--help"}).out;
        for (const char* output : {"\n  --json FILE", "\n  --csv FILE", "\n  --text FILE"}) {
            const std::size_t at = own.find(output);
            const std::string line = at == std::string::npos
                                         ? std::string()
                                         : own.substr(at, own.find("\n  -", at + 1) - at);
            EXPECT_EQ(line.find("record"), std::string::npos) << command << line;
        }
    }
    // Every help fits a terminal of 80 columns (a synopsis may not).
    for (const char* command : {"", "info", "download", "history", "import", "downloads", "assets",
                                "testers", "due", "unknown", "report"}) {
        std::vector<std::string> args{"--help"};
        if (*command) args.insert(args.begin(), command);
        std::istringstream lines(run(args).out);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("Usage:", 0) == 0 || line.rfind("       lumkest-cli", 0) == 0) continue;
            EXPECT_LT(line.size(), 80u) << command << ": " << line;
        }
    }
    // A command's own help does not name the commands that take an option.
    const std::string report = run({"report", "--help"}).out;
    EXPECT_NE(report.find("\n  --html FILE         the workshop report as one web page\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("\n  --device ID         the records of this device ID\n"),
              std::string::npos)
        << report;
}

}  // namespace
