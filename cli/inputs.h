#pragma once
// The files named on lumkest-cli's command line, read within stated bounds:
// any of them may be a device or a pipe that never ends.

#include <cstddef>
#include <string>

// What a file named on the command line may be: at most `bytes`, no line
// longer than `line` (0: no bound on lines), and what it should be, for the
// line that refuses it ("a saved file").
struct InputLimits {
    std::size_t bytes;
    std::size_t line;
    const char* what;
};
// A saved file (import): a history of a million records is about 100 MiB;
// its lines are short, a raw block is 8194 bytes of one "line".
inline constexpr InputLimits kSavedFileLimits{256u << 20, 16384, "a file LUM Kest writes"};
// The workshop's asset list (assets FILE.csv).
inline constexpr InputLimits kAssetListLimits{16u << 20, 65536, "an asset list"};
// A tester's identity reply (--identity): 33 bytes.
inline constexpr InputLimits kIdentityLimits{1u << 20, 0, "an identity reply"};

// A named file's bytes, read a piece at a time against the limits (a file
// may be a device or a pipe that never ends); false with *why saying in a
// few words why it was refused or could not be read.
bool readInput(const std::string& name, const InputLimits& limits, std::string* text,
               std::string* why);
// The first n bytes of a file (fewer if it is shorter), to tell what it is.
bool readHead(const std::string& name, std::size_t n, std::string* head, std::string* why);
