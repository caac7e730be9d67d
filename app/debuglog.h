#pragma once
// Diagnostic log "dbug.dbg" beside the executable.  Where that folder is
// not writable (an installed program) the log goes to the user's state
// folder instead: $XDG_STATE_HOME/lumkest/ or ~/.local/state/lumkest/.
//
// Every thread may write to it.  A line is appended by opening, writing,
// flushing and closing the file, guarded by the three-valued word logState:
// 2 = not initialised (or failed), 1 = a writer holds the file, 0 = ready.
// A writer that finds the log busy for 128 yields drops its line.

#include <atomic>
#include <ctime>
#include <string>

extern std::atomic<int> logState;

// Truncates (or creates) fileName in the folder of the executable, or failing
// that in the user's state folder (created private to the user), and writes
// the "Logging Initialized" line.  When neither works, writes
// "Error Initializing Debug Log File\n" to standard error; logging stays off.
void initDebugLog(const char* fileName);

// Appends one line.  typeCode says how to print *value:
//   's' text, 'd' int32, 'f' double, 'c' char, 'x' int32 as hex,
//   'D' a TestRecord dump; any other code prints no value.
// message and value may be null; never throws.
void writeDebugLog(const char* message, char typeCode, const void* value,
                   const char* sourceUnit, int line);

// The full path of the log file, empty before a successful initDebugLog.
std::string debugLogFileName();

// The user's state folder of the program, with a trailing '/':
// $XDG_STATE_HOME/lumkest/, or ~/.local/state/lumkest/ when that variable is
// unset, empty or relative.  Empty when no home folder is known.  The log
// goes there, and lumkest-cli keeps there what an archive could not take.
std::string userStateFolder();
// Creates each missing folder of path, private to the user (0700); whether
// path is a folder then.
bool makePrivateFolders(const std::string& path);

// The folder of the running executable, with a trailing '/'.
std::string executableFolder();

// Local date and time as "%m/%d/%y %H:%M:%S" (the short date and time that
// "%x %X" gives in the C locale), independent of the process locale that Qt
// sets.  Saved files and printed pages carry the same stamp.
// The form of localStamp: the C locale's "%x %X", spelled out.
extern const char* const kLocalStampFormat;  // "%m/%d/%y %H:%M:%S"
std::string localStamp();
std::string localStamp(std::time_t when);

// Test hooks: forget the file name and put logState back to its start value,
// and replace the folder the log is created in.
void resetDebugLogForTest();
void setLogFolderForTest(const std::string& folder);
