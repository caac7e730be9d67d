#pragma once
// A list the workshop keeps as CSV (the asset list, the tester list): RFC
// 4180 quoting, UTF-8 or else Latin-1 (every text kept as Latin-1 bytes, as
// the archive keeps the tester's texts), one header row naming its columns
// in any order and any case.  A header that is none of the list's columns
// but a near miss of one (its letters with spaces or hyphens for
// underscores, or two edits from it) is refused, since its values would be
// left out in silence; other unknown columns are ignored and named.
// Blank rows are skipped.  Every refusal is one line naming the line and
// the column: "line 7, column flow_low_pct: ...".  Plain C++.

#include <cstddef>
#include <string>
#include <vector>

class ListReader {
public:
    // columns: the names the list knows, in lower case; cells are asked
    // for by their index there.
    ListReader(const std::string& bytes, std::vector<std::string> columns);

    // The header row; false with why().
    bool header();
    int headerLine() const { return headerLine_; }
    bool named(std::size_t column) const { return at_[column] >= 0; }
    // The columns the header names that the list does not know, shown.
    const std::vector<std::string>& ignoredColumns() const { return ignored_; }

    // The next row that is not blank, as many fields as the header: true;
    // false at the end (why() empty) or when it cannot be read (why()).
    bool next();
    int line() const { return row_.line; }
    // The row's cell of a column, spaces at either end dropped; empty when
    // the header does not name the column.
    const std::string& cell(std::size_t column) const { return cells_[column]; }

    // False, with why() naming this row's line and the column.
    bool refuse(std::size_t column, const std::string& text);
    // False, with why() as given.
    bool fail(const std::string& text);
    const std::string& why() const { return why_; }

private:
    struct Row {
        int line = 0;
        std::vector<std::string> fields;
    };
    enum class Read { Row, End, Fault };
    Read readRow();
    bool nextFields();
    bool refuseField(int line, std::size_t field, const std::string& text);

    std::string bytes_;
    bool utf8_ = false;
    std::vector<std::string> columns_;
    std::vector<int> at_;              // each column's field, or -1
    std::vector<std::string> labels_;  // each field's header name, for reasons
    std::vector<std::string> ignored_;
    std::vector<std::string> cells_;
    std::size_t pos_ = 0;
    int lineAt_ = 1;
    int headerLine_ = 0;
    Row row_;
    std::size_t faultField_ = 0;
    std::string fault_, why_;
};

// A cell's text for a one-line reason: control bytes as spaces, cut short.
std::string shownCell(const std::string& text);
// printf into a string, for reasons.
std::string formatted(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
// Digits only (an empty text too).
bool digitsOnly(const std::string& text);
