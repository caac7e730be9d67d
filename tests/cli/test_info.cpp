// lumkest-cli info, and the help of each command.

#include "tests/cli/clitest.h"

namespace {

using namespace clitest;

TEST_F(Cli, InfoPrintsTheIdentity) {
    const Ran ran = run({"--virtual", "info"});
    EXPECT_EQ(ran.code, CliDone);
    EXPECT_EQ(ran.out, "ID: Dosimark Kest Bay 2\nSN: KS0401123\n");
    EXPECT_EQ(ran.err, "");
    // As JSON, which an ID holding a line end cannot break.
    const QJsonDocument json =
        QJsonDocument::fromJson(QByteArray::fromStdString(run({"--virtual", "info", "--json", "-"}).out));
    EXPECT_EQ(json["format"].toInt(), 1);
    EXPECT_EQ(json["tester"]["serial"].toString(), "KS0401123");
    EXPECT_EQ(json["state"].toString(), "connected");

    // Help per command: its synopsis and its options only.
    const std::string help = run({"download", "--help"}).out;
    EXPECT_EQ(help.find("Usage: lumkest-cli [--virtual"), 0u) << help;
    EXPECT_NE(help.find("--new-only"), std::string::npos);
    EXPECT_EQ(help.find("--device"), std::string::npos);
    EXPECT_NE(run({"--help"}).out.find("lumkest-cli COMMAND --help"), std::string::npos);
}

}  // namespace
