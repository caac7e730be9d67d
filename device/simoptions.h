#pragma once
// Command-line options of lumkest-sim, the program with the virtual tester.
// Plain C++ so that it can be parsed and checked before Qt starts.
//
//   --block FILE       an 8194-byte data block, exactly as on the wire, that
//                      the tester sends for "DD\r" and for Send All Records
//   --from FILE        the records of a file LUM Kest wrote (a CSV export, a
//                      text file of either format, or lumkest-cli's records
//                      JSON), at most 123, held as the block the tester sends;
//                      the file's tester answers "ID\r" unless --identity
//   --identity FILE    the 33-byte reply the tester gives to "ID\r"
//   --unplugged        the tester starts unplugged
//   --no-tester-window no Virtual Tester window
//   --help, -h         usage
//
// Both "--option FILE" and "--option=FILE" are accepted.  Arguments that do
// not begin with "--" (such as "-platform offscreen") are left for Qt.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/decode.h"

class VirtualTester;

struct SimOptions {
    std::string blockFile;             // empty: no --block (nor --from)
    std::vector<std::uint8_t> block;   // its bytes, exactly kDataBlockSize
    std::string fromFile;              // empty: no --from; else also blockFile, and
                                       // block is the one its records make
    std::string identityFile;          // empty: no --identity
    std::vector<std::uint8_t> identity;  // its bytes, exactly kIdentityReplySize
    bool unplugged = false;
    bool testerWindow = true;
    bool help = false;                 // --help given: print usage, run nothing
    std::vector<std::string> qtArgs;   // arguments left for Qt, in order (no argv[0])
};

// Parses args (argv[1] onwards).  Reads the files named by --block,
// --from and --identity and checks them.  Returns false with a one-line
// message in *error for an unknown option, a missing file name, --from with
// --block, or a file that cannot be read, has the wrong size or (--from) is
// none LUM Kest wrote, holds more than a tester, or holds a record that a
// tester's record cannot hold (an empty device ID, a text past its width).
bool parseSimOptions(const std::vector<std::string>& args, SimOptions* opts, std::string* error);

// Puts the options into the tester: block override, identity reply, plug state.
void applySimOptions(const SimOptions& opts, VirtualTester* tester);

// The usage text for --help and after an error.
std::string simUsage(const std::string& program);

// A failure of the virtual tester to rehearse (lumkest-cli --virtual --fault
// KIND), by the name given:
//   silent     no answer to the identity request
//   no-answer  no answer to the download request
//   short      the block stops after its first 4,000 bytes
//   empty      a well-formed block without records (count 0, every slot empty)
//   busy       the tester is held by another program
// short and empty stand in for any block given with --block.
enum class VirtualFault { Silent, NoAnswer, Short, Empty, Busy };

// Reads a fault's name; false for any other text.
bool parseVirtualFault(const std::string& kind, VirtualFault* fault);
// Puts the fault into the tester, after applySimOptions.
void applyVirtualFault(VirtualFault fault, VirtualTester* tester);
// The same by name; false, changing nothing, for an unknown name.
bool applyVirtualFault(const std::string& kind, VirtualTester* tester);
