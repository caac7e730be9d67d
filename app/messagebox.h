#pragma once
// The real message box behind showMessage(): no owner window, on top of all
// windows when asked, "\r" shown as a line break.

#include <QString>

#include "app/messages.h"

// Installs the real handler.
void installMessageBoxes();

// The text as it is displayed: "\r\n" and "\r" become line breaks.
QString displayText(const std::string& text);
