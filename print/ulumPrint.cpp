#include "print/ulumPrint.h"

TprintWindow* printWindow = nullptr;

TprintWindow::TprintWindow() : SecondaryWindow(QStringLiteral("Print"), 347, 120) {
    setObjectName(QStringLiteral("printWindow"));
}
