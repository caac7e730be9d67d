#pragma once
// Rows of cells as lumkest-cli's tables write them: RFC 4180 CSV (a cell
// with a comma, a quote or a line break quoted, quotes doubled, CR LF) and
// an aligned text table (two spaces between columns, LF).  Plain C++.

#include <cstddef>
#include <string>
#include <vector>

std::string csvRow(const std::vector<std::string>& cells);
// Who reads a CSV: this program again (every text exactly as it is), or
// people in a spreadsheet (text cells that look like formulas escaped).
enum class CsvFor { ReadingBack, Spreadsheets };

// The same for a file a spreadsheet may open: a cell of a text column
// (text[k]) that begins with =, +, -, @, a tab or a carriage return, which
// a spreadsheet would take for a formula, is written with a leading
// apostrophe, quoted.  Numbers, dates and keys are written as they are.
std::string csvRow(const std::vector<std::string>& cells, const std::vector<bool>& text);

// numbers[k]: column k is aligned to the right.  No line ends in a space;
// control bytes are escaped (escapedText), one line per row.
std::string alignedTable(const std::vector<std::vector<std::string>>& rows,
                         const std::vector<bool>& numbers);

// Bytes for a terminal or a page: each control byte (below 0x20, and 0x7F)
// shown as \xHH, so that a text from a tester or a list can neither end a
// line nor send the terminal an escape sequence.
std::string escapedText(const std::string& bytes);

// "1 record", "3 records".
std::string plural(std::size_t n, const char* one, const char* many);

// A Latin-1 text (the tester's bytes) as UTF-8; appended to out.
std::string latin1ToUtf8(const std::string& latin1);
void appendUtf8(std::string& out, const char* latin1, std::size_t size);
