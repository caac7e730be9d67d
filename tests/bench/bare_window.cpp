// The bare reference for the start-up benchmark: a Qt main window holding
// an empty table, nothing else.
//   bench_bare_window start|rss

#include <QApplication>
#include <QMainWindow>
#include <QTableWidget>

#include "firstpaint.h"

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "start";
    QApplication app(argc, argv);
    QMainWindow window;
    window.setCentralWidget(new QTableWidget);
    window.resize(592, 372);
    FirstPaint painted(&window, [mode] { reportAndQuit(mode); });
    window.show();
    return app.exec();
}
