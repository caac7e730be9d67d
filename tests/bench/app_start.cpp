// The program's own start-up path (runLumKest with the virtual tester), for
// the start-up benchmark.
//   bench_app_start start   prints the time to the main window's first frame
//   bench_app_start rss     downloads the tester's 123 records, then prints
//                           the resident set

#include <QPushButton>
#include <QTimer>

#include "app/application.h"
#include "app/listpage.h"
#include "app/messages.h"
#include "app/microLUM.h"
#include "app/recordgrid.h"
#include "device/virtualtester.h"
#include "firstpaint.h"
#include "records/recordstore.h"
#include "ui_listpage.h"

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "start";
    auto* tester = new VirtualTester;  // outlives the worker threads
    FirstPaint* painted = nullptr;
    const int rc = runLumKest(argc, argv, tester, [&] {
        // The user answers every box at once: a real box's own event loop
        // would keep the program from quitting once it has reported.
        setMessageHandler([](const MessageRequest& r) {
            return r.buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
        });
        if (mode != "rss") {
            painted = new FirstPaint(MainWindow, [] { reportAndQuit("start"); });
            return;
        }
        // The user downloads once connected.
        auto* poll = new QTimer(MainWindow);
        QObject::connect(poll, &QTimer::timeout, [poll, clicked = false]() mutable {
            QPushButton* download = MainWindow->listPage()->ui()->BtnDownloadData;
            if (!clicked) {
                if (download->isEnabled()) download->click();
                clicked = download->isEnabled();
                return;
            }
            if (MainWindow->listPage()->grid()->gridRowCount() == 124) {
                poll->stop();
                reportAndQuit("rss");
            }
        });
        poll->start(10);
    });
    delete painted;
    return rc;
}
