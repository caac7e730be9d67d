#include "workshop/table.h"

#include <algorithm>

std::string csvRow(const std::vector<std::string>& cells) { return csvRow(cells, {}); }

std::string csvRow(const std::vector<std::string>& cells, const std::vector<bool>& text) {
    std::string line;
    for (std::size_t k = 0; k < cells.size(); ++k) {
        const std::string& cell = cells[k];
        if (k) line += ',';
        if (k < text.size() && text[k] && !cell.empty() &&
            std::string("=+-@\t\r").find(cell[0]) != std::string::npos) {
            line += "\"'";
            for (char c : cell) line += c == '"' ? std::string("\"\"") : std::string(1, c);
            line += '"';
            continue;
        }
        if (cell.find_first_of(",\"\r\n") == std::string::npos) {
            line += cell;
            continue;
        }
        line += '"';
        for (char c : cell) line += c == '"' ? std::string("\"\"") : std::string(1, c);
        line += '"';
    }
    return line + "\r\n";
}

std::string escapedText(const std::string& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (const unsigned char c : bytes) {
        if (c >= 0x20 && c != 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string alignedTable(const std::vector<std::vector<std::string>>& table,
                         const std::vector<bool>& numbers) {
    std::vector<std::vector<std::string>> rows = table;
    for (auto& cells : rows)
        for (std::string& cell : cells) cell = escapedText(cell);
    std::vector<std::size_t> widths;
    for (const auto& cells : rows) {
        widths.resize(std::max(widths.size(), cells.size()), 0);
        for (std::size_t k = 0; k < cells.size(); ++k)
            widths[k] = std::max(widths[k], cells[k].size());
    }
    std::string out;
    for (const auto& cells : rows) {
        std::string line;
        for (std::size_t k = 0; k < cells.size(); ++k) {
            const std::string pad(widths[k] - cells[k].size(), ' ');
            const bool number = k < numbers.size() && numbers[k];
            if (k) line += "  ";
            line += number ? pad + cells[k] : cells[k] + (k + 1 < cells.size() ? pad : "");
        }
        // Without the padding of the empty cells that end a row.
        out += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
    }
    return out;
}

std::string latin1ToUtf8(const std::string& latin1) {
    std::string out;
    appendUtf8(out, latin1.data(), latin1.size());
    return out;
}

void appendUtf8(std::string& out, const char* latin1, std::size_t size) {
    const char* const end = latin1 + size;
    while (latin1 != end) {
        const char* ascii = latin1;
        while (ascii != end && static_cast<unsigned char>(*ascii) < 0x80) ++ascii;
        out.append(latin1, static_cast<std::size_t>(ascii - latin1));
        if (ascii == end) break;
        const auto c = static_cast<unsigned char>(*ascii);
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
        latin1 = ascii + 1;
    }
}

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}
