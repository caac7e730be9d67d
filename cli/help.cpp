// lumkest-cli's help: the usage lines, the program's --help and each
// command's, made from what the commands and the shared options declare.

#include <QString>
#include <QStringList>

#include "cli/commands.h"
#include "cli/options.h"

const char* const kProgram = "lumkest-cli";

std::string usageLines() {
    std::string text;
    for (const CliCommand* command : cliCommands())
        text += (text.empty() ? "Usage: " : "\n       ") + std::string(command->synopsis);
    return text;
}

namespace {

// left, then its description beginning in column 23 (on the next line
// for a long left), broken between words before column 80.
std::string described(const QString& left, const QString& description) {
    const QString indent(22, ' ');
    QString text = left.size() < 22 ? left.leftJustified(22) : left + "\n" + indent;
    int column = 22;
    const QStringList words = description.simplified().split(' ');
    for (int i = 0; i < words.size(); ++i) {
        if (i > 0 && column + 1 + words[i].size() > 79) {
            text += "\n" + indent;
            column = 22;
        } else if (i > 0) {
            text += ' ';
            ++column;
        }
        text += words[i];
        column += static_cast<int>(words[i].size());
    }
    return (text + "\n").toLatin1().toStdString();
}

// "  --since DATE        tested on or after DATE".
std::string helpLine(const char* name, const char* shortName, const char* valueName,
                     const std::string& help) {
    QStringList names;
    if (shortName) names << QString("-") + shortName;
    names << QString("--") + name;
    QString left = "  " + names.join(", ");
    if (valueName) left += QString(" ") + valueName;
    return described(left, QString::fromLatin1(help.c_str()));
}

// A shared option's description as one command's --help says it: without
// the leading "(history, report) " its declaration carries to name the
// commands that take it.
std::string forOneCommand(const char* help) {
    const std::string text = help;
    const std::size_t close = text.find(") ");
    if (text.empty() || text[0] != '(' || close == std::string::npos) return text;
    const QStringList names = QString::fromStdString(text.substr(1, close - 1)).split(", ");
    for (const QString& name : names)
        if (!cliCommandNamed(name.toStdString())) return text;
    return text.substr(close + 2);
}

}  // namespace

std::string helpText(const std::string& commandName) {
    const CliCommand* command = cliCommandNamed(commandName);
    if (!command) {
        QString text = QString::fromStdString(usageLines()) +
                       "\n\n"
                       "Downloads the results from a Dosimark Kest tester and writes them as the "
                       "LUM\nKest window program does, without a window; keeps them in an archive "
                       "across\ndownloads.\n\nCommands (lumkest-cli COMMAND --help for each "
                       "one's options):\n";
        for (const CliCommand* each : cliCommands())
            text += QString::fromStdString(
                described(QString("  ") + each->name, QString::fromLatin1(each->summary)));
        text +=
            "\nExit codes: 0 done, 2 bad usage (also a file that is none the command reads,\n"
            "an asset-list version the archive does not hold), 3 no tester, 4 the transfer\n"
            "or the decoding failed, 5 an output could not be written, 6 nothing to write\n"
            "(the tester holds no records, nothing new, nothing matches, no asset list),\n"
            "7 the archive could not be opened or written (the download is kept for\n"
            "import --pending).  man lumkest-cli says more.\n";
        return text.toLatin1().toStdString();
    }
    // One command: its synopsis and the options it takes, each said as
    // this command uses it.
    std::string text = "Usage: " + std::string(command->synopsis) + "\n\nOptions:\n";
    bool outputs = false;
    for (const std::string& option : command->options) {
        const char* own = nullptr;
        for (const auto& [name, help] : command->helpFor)
            if (name == option) own = help;
        if (const OutputSpec* out = outputNamed(option)) {
            text +=
                helpLine(out->name, nullptr, out->valueName, own ? own : forOneCommand(out->help));
            outputs = true;
        } else if (const OptionSpec* declared = optionNamed(option)) {
            text += helpLine(declared->name, declared->shortName, declared->valueName,
                             own ? own : forOneCommand(declared->help));
        }
    }
    if (outputs && command->command != Command::Import)
        text +=
            "\nThe outputs are written in the order given.  FILE \"-\" is standard output (for\n"
            "one output).  A FILE that is no regular file (a pipe, /dev/stdout) is written\n"
            "plainly; any other is written whole or not at all.\n";
    return text;
}
