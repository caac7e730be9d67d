#pragma once
// The paper a PDF is made on.  Plain C++.

enum class Paper { A4, Letter };

// The locale's paper (LC_PAPER), as the desktop's print dialog takes it:
// Letter where the locale's paper is 279 mm high, A4 otherwise.
Paper localePaper();
