#include "cli/cli.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/run.h"
#include "workshop/table.h"

namespace {

// Qt's own notes (such as "XDG_RUNTIME_DIR not set" under cron) are no
// messages of this program, whose standard error carries one line per error.
void onlyQtErrors(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

}  // namespace

int runCli(int& argc, char** argv, const CliStreams& io) {
    Options o;
    UsageError usage;
    if (!parseOptions(argc, argv, &o, &usage) ||
        (!o.help && !o.version && !checkTargets(o, io.out, &usage.line))) {
        std::fprintf(io.err, "%s: %s\n%s\n", kProgram, escapedText(usage.line).c_str(),
                     usageLines().c_str());
        return CliUsage;
    }
    if (o.help || o.version) {
        const std::string text =
            o.help ? helpText(o.helpCommand) : std::string(kProgram) + " " + LUMKEST_VERSION + "\n";
        if (printAll(io.out, text)) return CliDone;
        std::fprintf(io.err, "%s: cannot write to standard output: %s\n", kProgram,
                     std::strerror(errno));
        return CliWriteFailed;
    }

    // PDF and the web page's plots need a QGuiApplication, which needs no display on the offscreen
    // platform; everything else makes do with the lighter core application
    // (which also loads the archive's database drivers).  This program never
    // shows a window, so the platform is offscreen whatever the environment
    // says: a desktop's QT_QPA_PLATFORM, passed on to an ssh login or a timer
    // with no display, would abort it.
    // Qt is given the program's name only: an output named "-platform"
    // or "-style" is a file name, never one of Qt's own options.
    const QtMessageHandler previousHandler = qInstallMessageHandler(&onlyQtErrors);
    std::unique_ptr<QCoreApplication> app;
    int qtArgc = 1;
    char* qtArgv[] = {argc > 0 ? argv[0] : const_cast<char*>(kProgram), nullptr};
    if (!QCoreApplication::instance()) {
        if (o.needsFonts()) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            app = std::make_unique<QGuiApplication>(qtArgc, qtArgv);
        } else {
            app = std::make_unique<QCoreApplication>(qtArgc, qtArgv);
        }
    }
    if (io.progress) endNoteLineOnSignals(true);
    CliRun run(o, io);
    const int code = cliCommand(o.command).run(run);
    if (io.progress) endNoteLineOnSignals(false);
    app.reset();
    qInstallMessageHandler(previousHandler);
    return code;
}
