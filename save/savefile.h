#pragma once
// The window program's saves: the current records (displayRecords, the
// tester they came from, the stamp) written to a file in one of the saved
// formats, and the data marked saved or not.  Plain C++, so tests call them
// directly; the save dialog (save/save.h) calls them.

#include <string>

#include "save/filewrite.h"
#include "save/writers.h"

// Writes fileName from the current records: Done written (dataSaved = 1),
// Nothing for an empty name (nothing touched), Failed (logged; dataSaved = 0
// if the file had been opened, unchanged if it could not be).
SaveResult writeCsvFile(const std::string& fileName, ChosenRecords choice);
SaveResult writeTextFile(const std::string& fileName, ChosenRecords choice, bool recordFormat);
