#pragma once
// Rows of cells as lumkest-cli's tables write them: RFC 4180 CSV (a cell
// with a comma, a quote or a line break quoted, quotes doubled, CR LF) and
// an aligned text table (two spaces between columns, LF).  Plain C++.

#include <cstddef>
#include <string>
#include <vector>

std::string csvRow(const std::vector<std::string>& cells);

// numbers[k]: column k is aligned to the right.  No line ends in a space.
std::string alignedTable(const std::vector<std::vector<std::string>>& rows,
                         const std::vector<bool>& numbers);

// "1 record", "3 records".
std::string plural(std::size_t n, const char* one, const char* many);

// A Latin-1 text (the tester's bytes) as UTF-8; appended to out.
std::string latin1ToUtf8(const std::string& latin1);
void appendUtf8(std::string& out, const char* latin1, std::size_t size);
