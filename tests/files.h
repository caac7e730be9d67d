#pragma once
// Reading and writing a whole file, byte for byte, for the tests.

#include <fstream>
#include <sstream>
#include <string>

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Bytes: a string or a vector of bytes.
template <class Bytes>
void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}
