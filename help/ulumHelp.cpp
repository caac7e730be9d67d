#include "help/ulumHelp.h"

ThelpWindow* helpWindow = nullptr;

ThelpWindow::ThelpWindow() : SecondaryWindow(QStringLiteral("Help"), 480, 360) {
    setObjectName(QStringLiteral("helpWindow"));
}
