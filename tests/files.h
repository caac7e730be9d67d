#pragma once
// Reading a whole file, byte for byte, for the tests.

#include <fstream>
#include <sstream>
#include <string>

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
